// Text operations on slash-separated paths, the one place the program
// splits and joins them. Nothing here touches the file system or resolves
// "." and ".."; a path is a string of names joined by '/'.
//
// Thread: stateless; any thread.
// Errors: none; every input gives an answer (see each function).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace base {

// "/a/b/c" -> "/a/b", "c"; "/c" -> "/", "c"; "c" -> ".", "c". Trailing
// slashes are ignored.
void splitPath(const std::string& path, std::string* folder, std::string* name);

// The last name of the path ("/a/b/" -> "b"), trailing slashes ignored.
std::string lastComponent(std::string_view path);
// The same as a view of path, for callers that keep path alive.
std::string_view lastComponentOf(std::string_view path);

// The folder holding the last name: "/a/b" -> "/a", "/a" -> "/", "a" -> "".
std::string parentOf(std::string_view path);

// A root and a relative path joined with exactly one separator; an empty
// relative part gives the root without its trailing slashes.
std::string joinPath(std::string_view root, std::string_view relative);
// The same join, appended to *out.
void appendJoinedPath(std::string* out, std::string_view root, std::string_view relative);

// The names of a path, empty ones (doubled or edge slashes) left out.
std::vector<std::string> pathComponents(std::string_view path);

// A relative path's folder part and last name ("a/b/c" -> "a/b", "c";
// "c" -> "", "c").
void splitRelativePath(std::string_view relative, std::string_view* folder, std::string_view* name);

}  // namespace base

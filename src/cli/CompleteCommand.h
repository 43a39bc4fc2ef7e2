// What may come next on a command line, for the shells' completion
// scripts (completion/): a hidden command, so that the scripts need no
// list of their own and every command and option the program has is
// offered as soon as it is registered.
//
//   tessaline __complete bash LINE      LINE: the line as typed up to the
//       cursor. Prints the word being typed as typed, then each reply
//       quoted as one shell word in the quoting the word was begun with.
//   tessaline __complete words WORD...  WORDs: the words after the program,
//       as the shell took them (unquoted); the last one is being typed.
//       Prints what kind of value is due (words, files or dirs), then
//       each candidate unquoted, for a shell that quotes them itself.
//
// Candidates: commands, options, option values (files, folders, the
// playlists of the library the line names or the default one, the titles
// of the Tessaline volumes attached, a fixed set of choices).
//
// Thread: main thread only.
// Errors: none reach the user: what cannot be read offers nothing.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace app {

struct Services;

// Registers the command; it looks at the options `cli` has when it runs.
void registerCompleteCommand(CLI::App& cli, const Services& services);

// The words of a line as a POSIX shell splits it (blanks, backslashes,
// single and double quotes); the last word is the one the line ends in
// (empty after a blank), `typed` its text as typed.
struct TypedLine {
  std::vector<std::string> words;
  std::string typed;
};
TypedLine splitTypedLine(const std::string& line);

// `word` as one shell word in the quoting `typed` was begun with: within
// single or double quotes, else with backslashes (a leading "~/" is kept).
std::string quoteLike(const std::string& typed, const std::string& word);

}  // namespace app

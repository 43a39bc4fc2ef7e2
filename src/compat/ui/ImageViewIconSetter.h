// Small text facilities for the script: formatting with one to four
// arguments, a log line that prints its argument literally, and a file
// name cleaner, and the standard icon of a file type in an image view.
//
// Thread: stateless class functions; callable from any thread (the
// script calls them on the main thread).
// Errors: none of its own. A format whose placeholders do not match its
// arguments follows base/Format.h.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/Value.h"
#include "compat/drawing/ImageView.h"

namespace ui {

class ImageViewIconSetter {
 public:
  ImageViewIconSetter() = delete;

  static std::string formatString1_1(std::string_view format, const base::Value& a1);
  static std::string formatString2_1(std::string_view format, const base::Value& a1,
                                     const base::Value& a2);
  static std::string formatString3_1(std::string_view format, const base::Value& a1,
                                     const base::Value& a2, const base::Value& a3);
  static std::string formatString4_1(std::string_view format, const base::Value& a1,
                                     const base::Value& a2, const base::Value& a3,
                                     const base::Value& a4);

  // One log line holding the object's description; percent signs in it
  // are written as they stand.
  static void nslog(const base::Value& object);

  // The name with each of \ / : * ? " < > | # % $ ; and the curly double
  // quotes replaced by "_", and the curly single quotes by "'". One
  // character for one, so the result has as many characters as the name;
  // nothing else changes (no trimming, no length limit). Bytes that are not
  // valid UTF-8 are left as they are.
  static std::string sanitizeFileName(std::string_view name);

  // Shows the icon theme's icon for a file type in the view: the type is
  // a file name extension ("mp3", also with its dot) or a four-character
  // type code in quotes ("'fold'"). An unknown type shows "unknown".
  static void displayStandardIconInImageView(platform::ImageView& view,
                                             const std::string& iconType);
  // The icon names that stand for a type: the specific one, then a
  // generic one.
  static std::pair<std::string, std::string> iconNamesForFileType(const std::string& iconType);
};

}  // namespace ui

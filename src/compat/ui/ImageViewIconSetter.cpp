#include "compat/ui/ImageViewIconSetter.h"

#include "base/Format.h"
#include "base/Log.h"

namespace ui {

std::string ImageViewIconSetter::formatString1_1(std::string_view format, const base::Value& a1) {
  return base::format(format, a1);
}

std::string ImageViewIconSetter::formatString2_1(std::string_view format, const base::Value& a1,
                                                 const base::Value& a2) {
  return base::format(format, a1, a2);
}

std::string ImageViewIconSetter::formatString3_1(std::string_view format, const base::Value& a1,
                                                 const base::Value& a2, const base::Value& a3) {
  return base::format(format, a1, a2, a3);
}

std::string ImageViewIconSetter::formatString4_1(std::string_view format, const base::Value& a1,
                                                 const base::Value& a2, const base::Value& a3,
                                                 const base::Value& a4) {
  return base::format(format, a1, a2, a3, a4);
}

void ImageViewIconSetter::nslog(const base::Value& object) {
  // Through "%@" so that a description holding "%d" is not read as a format.
  base::logFormat("%@", object.description());
}

std::string ImageViewIconSetter::sanitizeFileName(std::string_view name) {
  std::string out;
  out.reserve(name.size() < 256 ? 256 : name.size());
  // Every replacement is one character for one and none produces a
  // character that another replaces, so a single pass gives the same
  // result as replacing each character over the whole text in turn.
  // UTF-8 is self-synchronising: the three-byte quotes below can only
  // match where such a character really starts.
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    switch (c) {
      case '\\':
      case '/':
      case ':':
      case '*':
      case '?':
      case '"':
      case '<':
      case '>':
      case '|':
      case '#':
      case '%':
      case '$':
      case ';':
        out.push_back('_');
        continue;
      default:
        break;
    }
    if (static_cast<unsigned char>(c) == 0xE2 && i + 2 < name.size() &&
        static_cast<unsigned char>(name[i + 1]) == 0x80) {
      unsigned char third = static_cast<unsigned char>(name[i + 2]);
      if (third == 0x9C || third == 0x9D) {  // U+201C, U+201D
        out.push_back('_');
        i += 2;
        continue;
      }
      if (third == 0x98 || third == 0x99) {  // U+2018, U+2019
        out.push_back('\'');
        i += 2;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

}  // namespace ui

// Why a library export could not be read: the file, the line (0 when the
// error has no place in the file, such as a file that cannot be opened)
// and a message for the user. what() reads "FILE: line N: MESSAGE".
//
// Thread: immutable after construction.
#pragma once

#include <stdexcept>
#include <string>

namespace app {

class LibraryError : public std::runtime_error {
 public:
  LibraryError(std::string file, long line, std::string message);
  const std::string& file() const noexcept { return file_; }
  long line() const noexcept { return line_; }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string file_;
  long line_;
  std::string message_;
};

}  // namespace app

// The outcome of an operation of the platform and drive layers: success,
// or what failed, where and why. Modelled on LevelDB's Status: cheap to
// return when all went well, and every failure carries the system's
// error number (0 when the failure did not come from a system call), the
// path it is about and a message that says what and where, such as
//   "cannot read SMART log 0x88 of /dev/sdb: Operation not permitted".
// Result<T> pairs a value with the Status of the attempt to get it; a
// Status's kind says what the failure means to the one who asked.
//
// A file operation's failure travels as a FileError; fromFileError() and
// toFileError() carry one into the other without losing its code or path.
//
// Thread: a value type; copies may be used on any thread.
// Errors: none thrown.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace base {

struct FileError {
  int code = 0;  // errno value (0: none); ENODEV: the drive was removed
  std::string
      localizedDescription;  // e.g. "The file “a.mp3” couldn’t be copied: No space left on device."
  std::string path;          // the item the failure is about (a copy's source or destination)
};

class [[nodiscard]] Status {
 public:
  // What a failure means for the one who asked: the exit status of the
  // command line and the wording of the window follow from it.
  enum class Kind {
    kFailed,      // the work could not be done (a file, the drive)
    kUsage,       // bad usage or input; nothing was written
    kBusy,        // another process holds what is needed
    kDoesNotFit,  // the plan needs more than the drive has
    kDeclined,    // the owner said no
  };

  // Success.
  Status() = default;
  // A failure of `kind` in the owner's words, about nothing in particular.
  static Status of(Kind kind, std::string message);
  static Status usage(std::string message) { return of(Kind::kUsage, std::move(message)); }

  // A failed system call on `path`: "<action> <path>: <strerror(code)>".
  static Status fromErrno(int code, std::string_view action, std::string path);
  // A failure without an error number (bad contents, missing entry):
  // "<action> <path>: <reason>" (without ": <reason>" when it is empty).
  static Status failure(std::string_view action, std::string path, std::string_view reason = {},
                        int code = 0);
  // A failure whose whole message the caller words (a tool's own text).
  static Status withMessage(std::string message, std::string path, int code = 0);
  static Status fromFileError(const FileError& error);

  bool ok() const { return state_ == nullptr; }
  int code() const { return state_ ? state_->code : 0; }
  Kind kind() const { return state_ ? state_->kind : Kind::kFailed; }
  // The same failure, meaning `kind`.
  Status withKind(Kind kind) const;
  const std::string& path() const;
  // "OK" for success; otherwise what failed, where and why.
  const std::string& message() const;

  // The system refused for lack of privilege (EPERM or EACCES): the
  // failure a user can remedy.
  bool notPermitted() const;

  FileError toFileError() const;

 private:
  struct State {
    int code;
    std::string path;
    std::string message;
    Kind kind = Kind::kFailed;
  };
  std::shared_ptr<const State> state_;
};

// A step without a value: Result<Done>.
struct Done {};

// A value or the Status of the failure to get one.
template <class T>
class [[nodiscard]] Result {
 public:
  Result() requires std::is_same_v<T, Done> : value_(Done{}) {}
  Result(T value) : value_(std::move(value)) {}          // NOLINT: implicit on purpose
  Result(Status status) : status_(std::move(status)) {}  // NOLINT: never an ok status

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  const Status& error() const { return status_; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  std::optional<T> take() && { return std::move(value_); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace base

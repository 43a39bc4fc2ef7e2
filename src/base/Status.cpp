#include "base/Status.h"

#include <cerrno>
#include <cstring>

namespace base {
namespace {

std::string compose(std::string_view action, const std::string& path, std::string_view reason) {
  std::string message(action);
  if (!path.empty()) message.append(" ").append(path);
  if (!reason.empty()) message.append(": ").append(reason);
  return message;
}

}  // namespace

Status Status::fromErrno(int code, std::string_view action, std::string path) {
  return failure(action, std::move(path), std::strerror(code), code);
}

Status Status::failure(std::string_view action, std::string path, std::string_view reason,
                       int code) {
  Status s;
  std::string message = compose(action, path, reason);
  s.state_ = std::make_shared<const State>(State{code, std::move(path), std::move(message)});
  return s;
}

Status Status::withMessage(std::string message, std::string path, int code) {
  Status s;
  s.state_ = std::make_shared<const State>(State{code, std::move(path), std::move(message)});
  return s;
}

Status Status::of(Kind kind, std::string message) {
  Status s;
  s.state_ = std::make_shared<const State>(State{0, "", std::move(message), kind});
  return s;
}

Status Status::withKind(Kind kind) const {
  if (!state_ || state_->kind == kind) return *this;
  Status s;
  s.state_ =
      std::make_shared<const State>(State{state_->code, state_->path, state_->message, kind});
  return s;
}

Status Status::fromFileError(const FileError& error) {
  Status s;
  std::string message = error.localizedDescription;
  if (message.empty()) {
    message = compose("cannot use", error.path, error.code ? std::strerror(error.code) : "failed");
  }
  s.state_ = std::make_shared<const State>(State{error.code, error.path, std::move(message)});
  return s;
}

const std::string& Status::path() const {
  static const std::string kNone;
  return state_ ? state_->path : kNone;
}

const std::string& Status::message() const {
  static const std::string kOk = "OK";
  return state_ ? state_->message : kOk;
}

bool Status::notPermitted() const { return code() == EPERM || code() == EACCES; }

FileError Status::toFileError() const {
  if (!state_) return FileError{};
  return FileError{state_->code, state_->message, state_->path};
}

}  // namespace base

// Desktop notifications over the session bus (org.freedesktop.
// Notifications Notify), with buttons whose choice comes back as the
// ActionInvoked signal; for `tessaline watch`, which runs without a window.
//
// Thread: one thread at a time. Ownership: owns its bus connection.
// Errors: without a session bus or a notification daemon nothing is
// shown: one line goes to standard error and notify() answers 0; nothing is thrown.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace app {

class DesktopNotifier {
 public:
  // `address`: the session bus's D-Bus address; empty: none to notify.
  explicit DesktopNotifier(std::string address);
  ~DesktopNotifier();

  // `actions`: (key, label) pairs shown as buttons. Answers the
  // notification's id, 0 when none was shown.
  uint32_t notify(const std::string& summary, const std::string& body,
                  const std::vector<std::pair<std::string, std::string>>& actions = {});
  // Hands each button pressed since the last call to `onAction`.
  void process(const std::function<void(uint32_t id, const std::string& key)>& onAction);

 private:
  struct Connection;
  std::string address_;
  std::unique_ptr<Connection> connection_;
  bool said_ = false;
};

}  // namespace app

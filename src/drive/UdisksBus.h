// What every udisks2 client of the drive layer shares: a connection to
// the system bus (or a private one named by address), a D-Bus error
// holder, and udisks2's refusals said in a person's words.
//
// Thread: a Bus is used by one thread at a time; the rest are pure.
// Ownership: a Bus owns its connection and closes it (flushing first).
// Errors: connect() answers the negative errno of sd-bus; why() names the
// device and the action.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace drive::udisks {

inline constexpr const char* kService = "org.freedesktop.UDisks2";

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct Error {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  Error() = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error() { sd_bus_error_free(&e); }
  bool is(const char* name) const { return sd_bus_error_has_name(&e, name); }
  std::string text(int r) const;
};

// `address` empty: the configuration's system bus, else the usual socket.
// *used says which address was tried.
int connect(const std::string& address, Bus* bus, std::string* used);

// Why udisks2 did not `what` ("unmount", "format") /dev/`device`.
std::string why(const Error& error, int r, const std::string& device, const std::string& what);

// udisks2's object path of a kernel block device, and back.
std::string blockObjectPath(const std::string& device);
std::string deviceOfObjectPath(const std::string& path);

}  // namespace drive::udisks

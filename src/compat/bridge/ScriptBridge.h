// The script bridge: a JSON-RPC 2.0 peer through which a script calls the
// system's class methods and the instance methods of the objects they
// return, by the platform's method names ("+[CTrack trackDict]",
// "-[CTrackList uncopiedTotal]" with the receiver first in "params").
//
// Values: strings, booleans, numbers and arrays cross as they are; an
// unsigned 64-bit result is an exact JSON integer; no result is null. An
// object crosses as a handle {"$object": N, "class": "CTrackList"}; the
// script passes {"$object": N} back. The same object keeps the same
// handle while the bridge holds it, and the bridge holds it once for
// every time the handle was given out (in a result or a notification):
// a handle given out n times stays valid until "release" was called n
// times with it. Track registry entries cross as CTrackCarrier handles,
// which do not keep their track alive. A request's id comes back in the
// very characters it was sent in, also a number no double holds exactly.
//
// Input bounds: a line nested deeper than kMaxNesting levels is refused
// whole (-32600, id null) before anything walks it, so that nothing
// recurses without a bound on what the script sent; the session refuses a
// line longer than kMaxRequestBytes as it streams in (-32600 "request too
// large") without holding it.
//
// Errors: only faults of the bridge itself are JSON-RPC errors: malformed
// JSON (-32700), not a request (-32600), unknown method (-32601), wrong
// number or kind of arguments or a stale handle (-32602). The system's
// operations report nothing as errors; an exception escaping one becomes
// an internal error (-32603) and the bridge carries on.
//
// Thread: main thread only (it pumps the main run loop). Background runs
// started through it reach the script only through polled state and
// notifications, which are queued and handed out with the next response.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace app {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects accepted on one line (the request
// object itself is level 1).
inline constexpr size_t kMaxNesting = 512;
// Longest line accepted, without its line feed.
inline constexpr size_t kMaxRequestBytes = size_t{16} << 20;

// The kinds of argument a method takes; the receiver of an instance
// method is an kObject of its class.
enum class ArgKind {
  kString,      // a JSON string
  kOptString,   // a string or null
  kBool,        // a JSON boolean
  kScalar,      // boolean, number or string (an object answering a boolean value, an identifier)
  kScalars,     // array of those
  kStrings,     // array of strings
  kOptStrings,  // array of strings or null
  kInt32,       // integer in the signed 32-bit range
  kUInt32,      // integer in the unsigned 32-bit range
  kUInt64,      // non-negative integer up to 2^64-1
  kObject,      // a handle of the class in ArgSpec::cls
  kObjects,     // array of handles of that class
  kAny,         // any JSON value, kept as it is (a script's context object)
};

struct ArgSpec {
  ArgKind kind;
  std::string cls;  // for kObject and kObjects
};

// A value as an error message shows it: its JSON text, cut to 80
// characters so that a huge argument does not come back whole.
std::string shownValue(const Json& value);

// A JSON-RPC fault of the bridge; never thrown by an operation.
struct BridgeFault {
  int code;
  std::string message;
};

class ScriptBridge {
 public:
  using Invoke = std::function<Json(ScriptBridge&, const Json& params)>;
  struct Method {
    std::string name;
    std::vector<ArgSpec> args;  // receiver first for an instance method
    Invoke invoke;
  };

  ScriptBridge();
  // A bridge serving `methods` in place of the system's own, e.g.
  // stand-ins that touch nothing; one table made once serves many bridges.
  explicit ScriptBridge(std::map<std::string, Method> methods);
  ~ScriptBridge();
  ScriptBridge(const ScriptBridge&) = delete;
  ScriptBridge& operator=(const ScriptBridge&) = delete;

  // Handles one incoming line; returns the lines to send back: queued
  // notifications first, then the response (none for a notification).
  std::vector<std::string> handleLine(const std::string& line);
  // Notifications queued since the last call (e.g. by a completion).
  std::vector<std::string> takeNotifications();

  // The method table, by name.
  const std::map<std::string, Method>& methods() const { return methods_; }
  void add(Method method);

  // ---- Handles ---------------------------------------------------------
  // The handle of `object` of class `cls` (null for none), to be given
  // out once: the bridge holds the object once more. The same object
  // keeps its handle while the bridge holds it.
  Json handleFor(const std::string& cls, std::shared_ptr<void> object);
  // The object behind a handle of `cls`; throws BridgeFault -32602 for a
  // stale or malformed handle or one of another class.
  std::shared_ptr<void> objectFor(const Json& handle, const std::string& cls) const;
  template <class T>
  std::shared_ptr<T> object(const Json& handle, const std::string& cls) const {
    return std::static_pointer_cast<T>(objectFor(handle, cls));
  }
  // Drops one of the bridge's holds on the handle, and the object with
  // the last; false for a stale handle.
  bool release(int64_t id);
  size_t handleCount() const { return handles_.size(); }
  // Live handles (id, class), for tests and clients that explore.
  std::vector<std::pair<int64_t, std::string>> liveHandles() const;

  // Queues a notification {"jsonrpc":"2.0","method":..,"params":..}.
  void notify(const std::string& method, Json params);

  // An object of the loaded interface under `role`, made on first use and
  // kept for the session.
  std::shared_ptr<void> interfaceObject(const std::string& role,
                                        const std::function<std::shared_ptr<void>()>& make);

  // Background runs started through the bridge, so that the end of a
  // session can wait for them.
  void trackRun(std::function<bool()> finished);
  // Pumps the main run loop until every tracked run has finished.
  void waitForRuns();

 private:
  // The response line to one line (none for notifications only).
  std::optional<std::string> respond(const std::string& line);
  Json handle(const Json& request);
  Json call(const std::string& name, const Json& params);

  struct Entry {
    std::string cls;
    std::shared_ptr<void> object;
    const void* key;
    uint64_t holds;  // times given out and not yet released
  };
  std::map<std::string, Method> methods_;
  std::map<int64_t, Entry> handles_;
  std::map<std::pair<std::string, const void*>, int64_t> byObject_;
  int64_t nextHandle_ = 1;
  std::vector<std::string> notifications_;
  std::vector<std::function<bool()>> runs_;
  std::map<std::string, std::shared_ptr<void>> interface_;
};

// The session on file descriptors: one request per line on `in`, one
// response per line on `out`, the main run loop pumped between reads.
// Returns the exit status (0 at the end of input).
int runScriptSession(int in, int out);
// The same session on a bridge the caller made, e.g. one whose methods a
// fuzz target has replaced by stand-ins that touch nothing.
int runScriptSession(ScriptBridge& bridge, int in, int out);

}  // namespace app

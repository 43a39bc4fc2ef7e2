// The script bridge's message reader: the input is the whole input stream
// of one session (at most 64 KiB), read from an in-memory file; responses
// go to /dev/null. Every method is replaced by a stand-in that reads its
// arguments as the real one does (kinds, ranges, handles) and then does
// nothing, so no input can export, write files or scan drives. Class
// methods answer a fresh handle, so that handles, instance methods and
// "release" are reached; they all die with the session's bridge.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>

#include "FuzzSupport.h"
#include "compat/bridge/ScriptBridge.h"
#include "compat/bridge/ScriptMethods.h"

namespace {

constexpr size_t kMaxSessionBytes = 64 * 1024;

void readArg(app::ScriptBridge& b, const app::ArgSpec& expected, const app::Json& j,
             const app::ArgContext& c) {
  using app::Arg;
  using app::ArgKind;
  switch (expected.kind) {
    case ArgKind::kString:
      (void)Arg<std::string>::from(j, b, c);
      break;
    case ArgKind::kOptString:
      (void)Arg<std::optional<std::string>>::from(j, b, c);
      break;
    case ArgKind::kBool:
      (void)Arg<bool>::from(j, b, c);
      break;
    case ArgKind::kScalar:
      (void)app::scalarValue(j, c);
      break;
    case ArgKind::kScalars:
      (void)Arg<std::vector<base::Value>>::from(j, b, c);
      break;
    case ArgKind::kStrings:
      (void)Arg<std::vector<std::string>>::from(j, b, c);
      break;
    case ArgKind::kOptStrings:
      (void)Arg<std::optional<std::vector<std::string>>>::from(j, b, c);
      break;
    case ArgKind::kInt32:
      (void)Arg<int32_t>::from(j, b, c);
      break;
    case ArgKind::kUInt32:
      (void)Arg<uint32_t>::from(j, b, c);
      break;
    case ArgKind::kUInt64:
      (void)Arg<uint64_t>::from(j, b, c);
      break;
    case ArgKind::kObject:
      (void)b.objectFor(j, expected.cls);
      break;
    case ArgKind::kObjects:
      if (!j.is_array()) app::throwWrongKind(c, "an array of handles", j);
      for (const app::Json& e : j) (void)b.objectFor(e, expected.cls);
      break;
    case ArgKind::kAny:
      break;
  }
}

// A stand-in's description; the table's functions point at one, so that
// copying the table copies no captured text.
struct StandIn {
  std::string name;
  std::vector<app::ArgSpec> args;
  std::string cls;  // "+[CTrack trackDict]" -> "CTrack"
  bool classMethod;
};

// The stand-in table, made once from the real one: each input's bridge
// starts from a copy, so that no handle outlives its session.
const std::map<std::string, app::ScriptBridge::Method>& standIns() {
  static std::deque<StandIn> described;
  static const std::map<std::string, app::ScriptBridge::Method> table = [] {
    std::map<std::string, app::ScriptBridge::Method> methods;
    app::ScriptBridge real;
    for (const auto& [name, method] : real.methods()) {
      size_t blank = name.find(' ');
      const StandIn* s = &described.emplace_back(
          StandIn{name, method.args, name.substr(2, blank == std::string::npos ? 0 : blank - 2),
                  name[0] == '+'});
      methods[name] = {name, method.args, [s](app::ScriptBridge& b, const app::Json& params) {
                         for (size_t i = 0; i < s->args.size(); ++i)
                           readArg(b, s->args[i], params[i], {s->name, i});
                         if (!s->classMethod) return app::Json(nullptr);
                         return b.handleFor(s->cls, std::make_shared<int>(0));
                       }};
    }
    return methods;
  }();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxSessionBytes) return 0;
  fuzz::QuietLog quiet;
  static const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  static const int in = ::memfd_create("session", MFD_CLOEXEC);
  if (devNull < 0 || in < 0) std::abort();
  // One in-memory file serves every input, cut to the input's length.
  if (::ftruncate(in, 0) != 0) std::abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(in, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::lseek(in, 0, SEEK_SET);
  app::ScriptBridge bridge(standIns());
  (void)app::runScriptSession(bridge, in, devNull);
  return 0;
}

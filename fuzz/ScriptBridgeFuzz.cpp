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

#include "FuzzSupport.h"
#include "app/ScriptBridge.h"
#include "app/ScriptMethods.h"

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
      (void)Arg<std::vector<platform::Value>>::from(j, b, c);
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

void replaceMethods(app::ScriptBridge& bridge) {
  std::vector<app::ScriptBridge::Method> stand_ins;
  for (const auto& [name, method] : bridge.methods()) {
    // "+[CTrack trackDict]" -> "CTrack"
    std::string cls = name.substr(2, name.find(' ') == std::string::npos ? 0 : name.find(' ') - 2);
    bool classMethod = name[0] == '+';
    stand_ins.push_back({name, method.args,
                         [name = name, args = method.args, cls, classMethod](
                             app::ScriptBridge& b, const app::Json& params) {
                           for (size_t i = 0; i < args.size(); ++i)
                             readArg(b, args[i], params[i], {name, i});
                           if (!classMethod) return app::Json(nullptr);
                           return b.handleFor(cls, std::make_shared<int>(0));
                         }});
  }
  for (auto& m : stand_ins) bridge.add(std::move(m));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxSessionBytes) return 0;
  fuzz::quietLog();
  static const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) std::abort();
  int in = ::memfd_create("session", MFD_CLOEXEC);
  if (in < 0) std::abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(in, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::lseek(in, 0, SEEK_SET);
  {
    app::ScriptBridge bridge;
    replaceMethods(bridge);
    (void)app::runScriptSession(bridge, in, devNull);
  }
  ::close(in);
  return 0;
}

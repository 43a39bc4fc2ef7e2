#include "compat/bridge/ScriptBridge.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "compat/bridge/ScriptMethods.h"
#include "compat/finder/FSNamesAndTags.h"
#include "compat/runtime/Exception.h"
#include "compat/runtime/RunLoop.h"
#include "compat/shell/stAutoReleasePool.h"
#include "drive/FileSystemCatalogue.h"

namespace app {

namespace {

constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;

Json errorResponse(const Json& id, int code, const std::string& message) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

std::string dumpLine(const Json& j) {
  // Invalid UTF-8 in a result (a Linux file name is a byte string) is
  // replaced rather than failing the whole response.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The text of each request's id that is a number a double holds only
// roughly (an integer of thirty digits, a fraction), keyed by the
// request's place in the line (0 for a lone request): an id is given back
// exactly as the client wrote it.
using RawIds = std::map<size_t, std::string>;

// The document parser, also noting those ids' texts. The parser calls the
// events of the type it is given, so hiding the base's is enough.
class RequestParser : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<Json>;
  RequestParser(Json& result, RawIds& raw) : Base(result, false), raw_(raw) {}

  bool null() { return value() && Base::null(); }
  bool boolean(bool v) { return value() && Base::boolean(v); }
  bool number_integer(number_integer_t v) { return value() && Base::number_integer(v); }
  bool number_unsigned(number_unsigned_t v) { return value() && Base::number_unsigned(v); }
  bool number_float(number_float_t v, const string_t& text) {
    if (idNext_) raw_[batch_ ? element_ - 1 : 0] = text;
    return value() && Base::number_float(v, text);
  }
  bool string(string_t& v) { return value() && Base::string(v); }
  bool binary(binary_t& v) { return value() && Base::binary(v); }
  bool start_object(std::size_t n) {
    value();
    ++depth_;
    return Base::start_object(n);
  }
  bool start_array(std::size_t n) {
    if (depth_ == 0) batch_ = true;
    value();
    ++depth_;
    return Base::start_array(n);
  }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }
  bool key(string_t& k) {
    idNext_ = depth_ == (batch_ ? 2u : 1u) && k == "id";
    return Base::key(k);
  }

 private:
  // Every value ends what a key announced; one straight inside a batch
  // starts its next request.
  bool value() {
    idNext_ = false;
    if (batch_ && depth_ == 1) ++element_;
    return true;
  }
  RawIds& raw_;
  size_t depth_ = 0, element_ = 0;
  bool batch_ = false, idNext_ = false;
};

// A response line whose id, when the client wrote it as `raw`, is given
// back in those very characters.
std::string dumpResponse(const Json& response, const std::optional<std::string>& raw) {
  if (!raw || !response.is_object() || !response.contains("id") ||
      !response["id"].is_number_float())
    return dumpLine(response);
  Json rest = response;
  rest.erase("id");
  std::string text = dumpLine(rest);
  return "{\"id\":" + *raw + (text.size() > 2 ? "," : "") + text.substr(1);
}

// Whether `line` nests arrays and objects deeper than kMaxNesting,
// brackets inside strings aside. A single pass without recursion, so it
// can judge a line before the parser and the value's walkers see it;
// on malformed JSON it still answers for the brackets it saw.
bool nestedTooDeep(const std::string& line) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::string shownValue(const Json& value) {
  std::string shown = dumpLine(value);
  if (shown.size() > 80) shown = shown.substr(0, 77) + "...";
  return shown;
}

ScriptBridge::ScriptBridge() {
  // The drives a script sees are judged by the bridge's own catalogue of
  // file systems, made (and logged) when the first one is looked at.
  drive::provideInstalledFileSystems([]() -> const drive::FileSystemCatalogue& {
    return finder::FSNamesAndTags::sharedOrEmpty().catalogue();
  });
  registerScriptMethods(*this);
}

ScriptBridge::ScriptBridge(std::map<std::string, Method> methods) : methods_(std::move(methods)) {}

ScriptBridge::~ScriptBridge() = default;

void ScriptBridge::add(Method method) {
  std::string name = method.name;
  methods_[name] = std::move(method);
}

Json ScriptBridge::handleFor(const std::string& cls, std::shared_ptr<void> object) {
  if (!object) return nullptr;
  auto key = std::make_pair(cls, static_cast<const void*>(object.get()));
  auto found = byObject_.find(key);
  int64_t id;
  if (found != byObject_.end()) {
    id = found->second;
    ++handles_[id].holds;
  } else {
    id = nextHandle_++;
    handles_[id] = Entry{cls, std::move(object), key.second, 1};
    byObject_[key] = id;
  }
  return Json{{"$object", id}, {"class", cls}};
}

std::shared_ptr<void> ScriptBridge::objectFor(const Json& handle, const std::string& cls) const {
  if (!handle.is_object() || !handle.contains("$object") ||
      !handle["$object"].is_number_integer()) {
    throw BridgeFault{kInvalidParams,
                      "expected a " + cls + " handle {\"$object\": N}, got " + shownValue(handle)};
  }
  int64_t id = handle["$object"].get<int64_t>();
  auto found = handles_.find(id);
  if (found == handles_.end()) {
    throw BridgeFault{kInvalidParams,
                      "stale handle " + std::to_string(id) + " (released or never given)"};
  }
  if (found->second.cls != cls) {
    throw BridgeFault{kInvalidParams, "handle " + std::to_string(id) + " is a " +
                                          found->second.cls + ", expected a " + cls};
  }
  return found->second.object;
}

bool ScriptBridge::release(int64_t id) {
  auto found = handles_.find(id);
  if (found == handles_.end()) return false;
  if (--found->second.holds > 0) return true;
  // The object may die here (a track logs "dealloc"); take it out of the
  // tables first so that nothing can reach it during its destruction.
  std::shared_ptr<void> object = std::move(found->second.object);
  byObject_.erase({found->second.cls, found->second.key});
  handles_.erase(found);
  object.reset();
  return true;
}

std::vector<std::pair<int64_t, std::string>> ScriptBridge::liveHandles() const {
  std::vector<std::pair<int64_t, std::string>> out;
  out.reserve(handles_.size());
  for (const auto& [id, entry] : handles_) out.emplace_back(id, entry.cls);
  return out;
}

void ScriptBridge::notify(const std::string& method, Json params) {
  notifications_.push_back(
      dumpLine(Json{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}}));
}

std::vector<std::string> ScriptBridge::takeNotifications() {
  std::vector<std::string> out;
  out.swap(notifications_);
  return out;
}

std::shared_ptr<void> ScriptBridge::interfaceObject(
    const std::string& role, const std::function<std::shared_ptr<void>()>& make) {
  auto& slot = interface_[role];
  if (!slot) slot = make();
  return slot;
}

void ScriptBridge::trackRun(std::function<bool()> finished) {
  // Forget runs that have ended, so a long session does not accumulate.
  std::erase_if(runs_, [](const std::function<bool()>& f) { return f(); });
  runs_.push_back(std::move(finished));
}

void ScriptBridge::waitForRuns() {
  auto& loop = platform::MainRunLoop::shared();
  for (auto& finished : runs_) {
    while (!loop.runUntil(finished, std::chrono::milliseconds(1000))) {
    }
  }
  runs_.clear();
  loop.runPending();
}

Json ScriptBridge::call(const std::string& name, const Json& params) {
  if (name == "release") {
    if (params.size() != 1) {
      throw BridgeFault{kInvalidParams, "release takes 1 argument (a handle), got " +
                                            std::to_string(params.size())};
    }
    const Json& h = params[0];
    if (!h.is_object() || !h.contains("$object") || !h["$object"].is_number_integer()) {
      throw BridgeFault{kInvalidParams,
                        "release expects a handle {\"$object\": N}, got " + shownValue(h)};
    }
    int64_t id = h["$object"].get<int64_t>();
    if (!release(id))
      throw BridgeFault{kInvalidParams,
                        "stale handle " + std::to_string(id) + " (released or never given)"};
    return nullptr;
  }
  auto found = methods_.find(name);
  if (found == methods_.end()) throw BridgeFault{kMethodNotFound, "unknown method " + name};
  const Method& method = found->second;
  if (params.size() != method.args.size()) {
    throw BridgeFault{kInvalidParams, name + " takes " + std::to_string(method.args.size()) +
                                          " argument" + (method.args.size() == 1 ? "" : "s") +
                                          ", got " + std::to_string(params.size())};
  }
  return method.invoke(*this, params);
}

Json ScriptBridge::handle(const Json& request) {
  if (!request.is_object())
    return errorResponse(nullptr, kInvalidRequest, "a request must be a JSON object");
  Json id = nullptr;
  bool isNotification = !request.contains("id");
  if (!isNotification) {
    // Judged before it is copied: only a scalar is ever copied.
    const Json& given = request["id"];
    if (!given.is_null() && !given.is_string() && !given.is_number()) {
      return errorResponse(nullptr, kInvalidRequest, "\"id\" must be a string, a number or null");
    }
    id = given;
  }
  if (!request.contains("jsonrpc") || request["jsonrpc"] != "2.0") {
    return errorResponse(id, kInvalidRequest, "\"jsonrpc\" must be \"2.0\"");
  }
  if (!request.contains("method") || !request["method"].is_string()) {
    return errorResponse(id, kInvalidRequest, "\"method\" must be a string");
  }
  const std::string name = request["method"].get<std::string>();
  static const Json kNoParams = Json::array();
  const Json& params = request.contains("params") ? request["params"] : kNoParams;
  if (!params.is_array()) {
    if (params.is_object()) {
      Json r = errorResponse(id, kInvalidParams,
                             name + ": \"params\" must be an array (arguments in order)");
      return isNotification ? Json() : r;
    }
    return errorResponse(id, kInvalidRequest, "\"params\" must be an array");
  }

  Json response;
  {
    shell::stAutoReleasePool pool;
    try {
      Json result = call(name, params);
      response = Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
    } catch (const BridgeFault& fault) {
      response = errorResponse(id, fault.code, fault.message);
    } catch (const platform::Exception& e) {
      response =
          errorResponse(id, kInternalError, name + " raised " + e.name() + ": " + e.reason());
    } catch (const std::exception& e) {
      response = errorResponse(id, kInternalError, name + " failed: " + e.what());
    } catch (...) {
      response = errorResponse(id, kInternalError, name + " failed with an unknown exception");
    }
  }
  return isNotification ? Json() : response;
}

std::optional<std::string> ScriptBridge::respond(const std::string& line) {
  if (nestedTooDeep(line)) {
    return dumpLine(
        errorResponse(nullptr, kInvalidRequest,
                      "request nested deeper than " + std::to_string(kMaxNesting) + " levels"));
  }
  Json request;
  RawIds raw;
  RequestParser parser(request, raw);
  if (!Json::sax_parse(line, &parser) || parser.is_errored() || request.is_discarded())
    return dumpLine(errorResponse(nullptr, kParseError, "malformed JSON"));
  auto rawAt = [&](size_t i) -> std::optional<std::string> {
    auto found = raw.find(i);
    if (found == raw.end()) return std::nullopt;
    return found->second;
  };
  if (!request.is_array()) {
    Json r = handle(request);
    if (r.is_null()) return std::nullopt;
    return dumpResponse(r, rawAt(0));
  }
  if (request.empty()) return dumpLine(errorResponse(nullptr, kInvalidRequest, "an empty batch"));
  std::string batch;
  for (size_t i = 0; i < request.size(); ++i) {
    Json r = handle(request[i]);
    if (!r.is_null()) batch += (batch.empty() ? "[" : ",") + dumpResponse(r, rawAt(i));
  }
  if (batch.empty()) return std::nullopt;
  return batch + "]";
}

std::vector<std::string> ScriptBridge::handleLine(const std::string& line) {
  std::optional<std::string> response = respond(line);
  std::vector<std::string> out = takeNotifications();
  if (response) out.push_back(std::move(*response));
  return out;
}

namespace {

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool writeLines(int fd, const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    if (!writeAll(fd, line + "\n")) return false;
  }
  return true;
}

// Cuts the input into lines, looking at every byte once; a line longer
// than kMaxRequestBytes is refused once, as soon as it is known, and the
// rest of it dropped as it arrives, never held.
class LineSplitter {
 public:
  // Calls onLine(line) for each whole line and onTooLarge() for each
  // refused one, in input order; stops at the first false they return.
  template <class OnLine, class OnTooLarge>
  bool feed(std::string_view bytes, OnLine&& onLine, OnTooLarge&& onTooLarge) {
    while (!bytes.empty()) {
      size_t nl = bytes.find('\n');
      std::string_view piece = bytes.substr(0, nl);
      bytes.remove_prefix(nl == std::string_view::npos ? bytes.size() : nl + 1);
      if (!discarding_ && pending_.size() + piece.size() > kMaxRequestBytes) {
        std::string().swap(pending_);
        discarding_ = true;
        if (!onTooLarge()) return false;
      }
      if (!discarding_) pending_.append(piece);
      if (nl == std::string_view::npos) break;
      bool wasDiscarding = std::exchange(discarding_, false);
      if (!wasDiscarding && !onLine(pending_)) return false;
      pending_.clear();
    }
    return true;
  }
  // The end of input ends the last line, line feed or not.
  bool hasPartialLine() const { return !pending_.empty(); }

 private:
  std::string pending_;
  bool discarding_ = false;
};

}  // namespace

int runScriptSession(int in, int out) {
  ScriptBridge bridge;
  return runScriptSession(bridge, in, out);
}

int runScriptSession(ScriptBridge& bridge, int in, int out) {
  auto& loop = platform::MainRunLoop::shared();
  LineSplitter lines;
  auto onLine = [&](std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) return true;
    if (!writeLines(out, bridge.handleLine(line))) return false;
    loop.runPending();
    return true;
  };
  auto onTooLarge = [&] {
    return writeLines(out,
                      {dumpLine(errorResponse(nullptr, kInvalidRequest, "request too large"))});
  };
  char buffer[65536];
  while (true) {
    // Serve the background runs' main-thread calls while the script
    // thinks; then wait a little for its next line.
    loop.runPending();
    if (!writeLines(out, bridge.takeNotifications())) return 1;
    pollfd fd{in, POLLIN, 0};
    int ready = ::poll(&fd, 1, 20);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (ready == 0) continue;
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return 1;
    }
    // A last line without its line feed is a line too.
    std::string_view bytes = n > 0 ? std::string_view(buffer, static_cast<size_t>(n))
                                   : std::string_view(lines.hasPartialLine() ? "\n" : "");
    if (!lines.feed(bytes, onLine, onTooLarge)) return 1;
    if (n == 0) break;
  }
  // Runs the script started must not be cut off by the process's end.
  bridge.waitForRuns();
  writeLines(out, bridge.takeNotifications());
  return 0;
}

}  // namespace app

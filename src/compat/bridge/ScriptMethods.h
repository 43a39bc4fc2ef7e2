// The script bridge's method table: how each entry point's arguments are
// read from JSON and its result written back, derived from the C++
// signature, so that an entry point is one registration line.
//
// Argument kinds follow the parameter types: std::string (a string),
// bool (a JSON boolean), base::Value (an object answering a boolean
// value, or an identifier: boolean, number or text), vectors of those,
// optional strings (null allowed), 32- and 64-bit integers, and
// shared_ptr<C> (a handle of C's class).
//
// Thread: main thread, with the bridge.
// Errors: a wrong argument throws BridgeFault -32602 before the method
// runs; registration of a name whose labels do not match the arguments
// throws std::logic_error (a programming fault, found by any test).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/Value.h"
#include "compat/bridge/ScriptBridge.h"

namespace app {

// The script-visible class name of a C++ class; specialised for every
// class whose objects cross the bridge.
template <class T>
inline constexpr const char* kScriptClass = nullptr;

struct ArgContext {
  const std::string& method;
  size_t index;
};

[[noreturn]] void throwWrongKind(const ArgContext& ctx, const char* expected, const Json& got);

template <class T, class = void>
struct Arg;

template <>
struct Arg<std::string> {
  using Stored = std::string;
  static ArgSpec spec() { return {ArgKind::kString, ""}; }
  static Stored from(const Json& j, ScriptBridge&, const ArgContext& c) {
    if (!j.is_string()) throwWrongKind(c, "a string", j);
    return j.get<std::string>();
  }
};
template <>
struct Arg<std::string_view> : Arg<std::string> {};

template <>
struct Arg<std::optional<std::string>> {
  using Stored = std::optional<std::string>;
  static ArgSpec spec() { return {ArgKind::kOptString, ""}; }
  static Stored from(const Json& j, ScriptBridge&, const ArgContext& c) {
    if (j.is_null()) return std::nullopt;
    if (!j.is_string()) throwWrongKind(c, "a string or null", j);
    return j.get<std::string>();
  }
};

template <>
struct Arg<bool> {
  using Stored = bool;
  static ArgSpec spec() { return {ArgKind::kBool, ""}; }
  static Stored from(const Json& j, ScriptBridge&, const ArgContext& c) {
    if (!j.is_boolean()) throwWrongKind(c, "a boolean", j);
    return j.get<bool>();
  }
};

base::Value scalarValue(const Json& j, const ArgContext& c);

template <>
struct Arg<base::Value> {
  using Stored = base::Value;
  static ArgSpec spec() { return {ArgKind::kScalar, ""}; }
  static Stored from(const Json& j, ScriptBridge&, const ArgContext& c) {
    return scalarValue(j, c);
  }
};

template <>
struct Arg<std::vector<base::Value>> {
  using Stored = std::vector<base::Value>;
  static ArgSpec spec() { return {ArgKind::kScalars, ""}; }
  static Stored from(const Json& j, ScriptBridge&, const ArgContext& c) {
    if (!j.is_array()) throwWrongKind(c, "an array of booleans, numbers or strings", j);
    Stored out;
    out.reserve(j.size());
    for (const Json& e : j) out.push_back(scalarValue(e, c));
    return out;
  }
};

template <>
struct Arg<std::vector<std::string>> {
  using Stored = std::vector<std::string>;
  static ArgSpec spec() { return {ArgKind::kStrings, ""}; }
  static Stored from(const Json& j, ScriptBridge&, const ArgContext& c) {
    if (!j.is_array()) throwWrongKind(c, "an array of strings", j);
    Stored out;
    out.reserve(j.size());
    for (const Json& e : j) {
      if (!e.is_string()) throwWrongKind(c, "an array of strings", j);
      out.push_back(e.get<std::string>());
    }
    return out;
  }
};

template <>
struct Arg<std::optional<std::vector<std::string>>> {
  using Stored = std::optional<std::vector<std::string>>;
  static ArgSpec spec() { return {ArgKind::kOptStrings, ""}; }
  static Stored from(const Json& j, ScriptBridge& b, const ArgContext& c) {
    if (j.is_null()) return std::nullopt;
    if (!j.is_array()) throwWrongKind(c, "an array of strings or null", j);
    return Arg<std::vector<std::string>>::from(j, b, c);
  }
};

// Integers: a JSON integer (or a real with no fraction) within range.
template <class I>
struct Arg<I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>>> {
  using Stored = I;
  static ArgSpec spec() {
    if constexpr (std::is_same_v<I, uint64_t>) return {ArgKind::kUInt64, ""};
    if constexpr (std::is_unsigned_v<I>) return {ArgKind::kUInt32, ""};
    return {ArgKind::kInt32, ""};
  }
  static Stored from(const Json& j, ScriptBridge&, const ArgContext& c) {
    static_assert(sizeof(I) == 8 ? std::is_unsigned_v<I> : sizeof(I) == 4);
    const char* expected = std::is_same_v<I, uint64_t> ? "an integer from 0 to 18446744073709551615"
                           : std::is_unsigned_v<I>     ? "an integer from 0 to 4294967295"
                                                   : "an integer from -2147483648 to 2147483647";
    if (j.is_number_unsigned()) {
      uint64_t u = j.get<uint64_t>();
      if (u > static_cast<uint64_t>(std::numeric_limits<I>::max())) throwWrongKind(c, expected, j);
      return static_cast<I>(u);
    }
    if (j.is_number_integer()) {
      int64_t s = j.get<int64_t>();
      if (s < static_cast<int64_t>(std::numeric_limits<I>::min()) ||
          (!std::is_same_v<I, uint64_t> &&
           s > static_cast<int64_t>(std::numeric_limits<I>::max()))) {
        throwWrongKind(c, expected, j);
      }
      return static_cast<I>(s);
    }
    if (j.is_number_float()) {
      double d = j.get<double>();
      // The range test also rejects NaN.
      if (!(d >= static_cast<double>(std::numeric_limits<I>::min()) &&
            d <= static_cast<double>(std::numeric_limits<I>::max())) ||
          d != static_cast<double>(static_cast<int64_t>(d)) || d >= 9.2e18) {
        throwWrongKind(c, expected, j);
      }
      return static_cast<I>(d);
    }
    throwWrongKind(c, expected, j);
  }
};

template <class C>
struct Arg<std::shared_ptr<C>> {
  using Stored = std::shared_ptr<C>;
  static ArgSpec spec() { return {ArgKind::kObject, kScriptClass<std::remove_const_t<C>>}; }
  static Stored from(const Json& j, ScriptBridge& b, const ArgContext&) {
    return b.object<C>(j, kScriptClass<std::remove_const_t<C>>);
  }
};

template <class C>
struct Arg<std::vector<std::shared_ptr<C>>> {
  using Stored = std::vector<std::shared_ptr<C>>;
  static ArgSpec spec() { return {ArgKind::kObjects, kScriptClass<C>}; }
  static Stored from(const Json& j, ScriptBridge& b, const ArgContext& c) {
    if (!j.is_array())
      throwWrongKind(c, (std::string("an array of ") + kScriptClass<C> + " handles").c_str(), j);
    Stored out;
    for (const Json& e : j) out.push_back(b.object<C>(e, kScriptClass<C>));
    return out;
  }
};

// ---- Results ------------------------------------------------------------
inline Json toJson(ScriptBridge&, const std::string& v) { return v; }
inline Json toJson(ScriptBridge&, bool v) { return v; }
inline Json toJson(ScriptBridge&, int32_t v) { return v; }
inline Json toJson(ScriptBridge&, uint32_t v) { return v; }
inline Json toJson(ScriptBridge&, uint64_t v) { return v; }
inline Json toJson(ScriptBridge&, double v) { return v; }
inline Json toJson(ScriptBridge&, const std::vector<std::string>& v) { return v; }
inline Json toJson(ScriptBridge&, const std::vector<std::vector<std::string>>& v) { return v; }
template <class T>
Json toJson(ScriptBridge& b, const std::optional<T>& v) {
  return v ? toJson(b, *v) : Json(nullptr);
}
template <class C>
Json toJson(ScriptBridge& b, const std::shared_ptr<C>& v) {
  using Plain = std::remove_const_t<C>;
  return b.handleFor(kScriptClass<Plain>, std::const_pointer_cast<Plain>(v));
}
template <class C>
Json toJson(ScriptBridge& b, const std::vector<std::shared_ptr<C>>& v) {
  Json out = Json::array();
  for (const auto& e : v) out.push_back(toJson(b, e));
  return out;
}

// ---- Registration ---------------------------------------------------------
// Checks that the name's labels match the arguments: "+[C sel]" takes one
// argument per colon, "-[C sel]" the receiver (of class C) and one per colon.
void checkMethodName(const std::string& name, const std::vector<ArgSpec>& args);

template <class R, class... A, size_t... I>
Json invokeWith(ScriptBridge& b, const std::string& name, const Json& params, R (*f)(A...),
                std::index_sequence<I...>) {
  // Every argument is read before the method runs, in order.
  std::tuple<typename Arg<std::decay_t<A>>::Stored...> args{
      Arg<std::decay_t<A>>::from(params[I], b, ArgContext{name, I})...};
  if constexpr (std::is_void_v<R>) {
    std::apply(f, args);
    return nullptr;
  } else {
    return toJson(b, std::apply(f, args));
  }
}

// Any function: its parameters are the method's params in order (an
// instance method's function takes the receiver first).
template <class R, class... A>
void fn(ScriptBridge& b, const std::string& name, R (*f)(A...)) {
  std::vector<ArgSpec> specs{Arg<std::decay_t<A>>::spec()...};
  checkMethodName(name, specs);
  b.add({name, std::move(specs), [name, f](ScriptBridge& bridge, const Json& params) {
           return invokeWith(bridge, name, params, f, std::index_sequence_for<A...>{});
         }});
}

// Calls m, a member function (const or not) of C taking A... and
// answering R, on the object params[0] names, with the rest as arguments.
template <class C, class R, class... A, class M, size_t... I>
Json invokeMember(ScriptBridge& b, const std::string& name, const Json& params, M m,
                  std::index_sequence<I...>) {
  auto self = b.object<C>(params[0], kScriptClass<C>);
  std::tuple<typename Arg<std::decay_t<A>>::Stored...> args{
      Arg<std::decay_t<A>>::from(params[I + 1], b, ArgContext{name, I + 1})...};
  auto call = [&](auto&... a) { return ((*self).*m)(a...); };
  if constexpr (std::is_void_v<R>) {
    std::apply(call, args);
    return nullptr;
  } else {
    return toJson(b, std::apply(call, args));
  }
}

template <class C, class R, class... A, class M>
void addMember(ScriptBridge& b, const std::string& name, M m) {
  std::vector<ArgSpec> specs{ArgSpec{ArgKind::kObject, kScriptClass<C>},
                             Arg<std::decay_t<A>>::spec()...};
  checkMethodName(name, specs);
  b.add({name, std::move(specs), [name, m](ScriptBridge& bridge, const Json& params) {
           return invokeMember<C, R, A...>(bridge, name, params, m,
                                           std::index_sequence_for<A...>{});
         }});
}

// An instance method given as a member function.
template <class C, class R, class... A>
void member(ScriptBridge& b, const std::string& name, R (C::*m)(A...) const) {
  addMember<C, R, A...>(b, name, m);
}
template <class C, class R, class... A>
void member(ScriptBridge& b, const std::string& name, R (C::*m)(A...)) {
  addMember<C, R, A...>(b, name, m);
}

// Registers every entry point of the system.
void registerScriptMethods(ScriptBridge& bridge);

}  // namespace app

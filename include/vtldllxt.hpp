// vtldllxt.hpp: the C++ face of vtldllxt, header-only over the C interface (vtldllxt.h). This is
// the C++ API the library promises; nothing else of its insides is meant for hosts.
//
//   vtl::PrnPort port;
//   port.OnDatosImpresos([&](std::int32_t job) { std::cout << "printed " << job << "\n"; });
//   port.InicializarRed("192.168.1.50");
//   port.Imprimir("2 x Café con leche   3,20 €\n");        // UTF-8 text, sent in Windows-1252
//   port.Imprimir(vtl::Bytes("\x1dVB\x00", 4), true);       // bytes, sent untouched
//   vtl::RunUntil([&] { return port.OutBufferCount() == 0; }, std::chrono::seconds(10));
//
// Objects are handles: a copy is another reference to the same object (its event handlers
// included), a move leaves an empty handle behind, and the object goes away with its last handle.
// An object belongs to the thread that created it: call it, and pump, there.
// Members are called by name (Call, Get, Set) with C++ values, or through the typed methods of
// PrnPort, Serial and PrnPortData. A failure is thrown as vtl::Error with the number, text and
// source an automation host would show. Events reach std::function handlers while the thread
// that created the object pumps its loop (DoEvents, Pump, RunUntil); a handler may call any
// member, close the port or drop the object. An exception thrown by a handler cannot cross the
// library: it is kept and thrown by the wrapper call during which the event came (a member call,
// DoEvents, RunUntil) once the library has returned.
//
// Everything lives in namespace vtl (an inline namespace keeps these names apart from the
// library's own, so a program that links the library statically has no clash).
#ifndef VTLDLLXT_HPP
#define VTLDLLXT_HPP

#include <algorithm>
#include <chrono>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vtldllxt.h"

namespace vtl {
inline namespace v1 {

// A failure as an automation host sees it: its number (6 overflow, 13 type mismatch, 438 no
// such member, 449 argument not optional, ...), its description (what()) and its source.
class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, const std::string& description, std::string source,
        std::int32_t hresult = 0)
      : std::runtime_error(description),
        number_(number),
        source_(std::move(source)),
        hresult_(hresult) {}
  std::int32_t Number() const noexcept { return number_; }
  const std::string& Source() const noexcept { return source_; }
  // The C interface's code (an HRESULT) for the failure.
  std::int32_t HResult() const noexcept { return hresult_; }

 private:
  std::int32_t number_;
  std::string source_;
  std::int32_t hresult_;
};

// Windows-1252 bytes, for binary printer data: they reach the printer exactly as they are.
// (std::string arguments are UTF-8 text, converted to Windows-1252 on the way.)
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::string data) : data_(std::move(data)) {}
  Bytes(const char* data, std::size_t size) : data_(data, size) {}
  const std::string& str() const noexcept { return data_; }
  const char* data() const noexcept { return data_.data(); }
  std::size_t size() const noexcept { return data_.size(); }
  bool empty() const noexcept { return data_.empty(); }
  Bytes& operator+=(const Bytes& more) {
    data_ += more.data_;
    return *this;
  }
  friend Bytes operator+(Bytes a, const Bytes& b) { return a += b; }
  friend bool operator==(const Bytes&, const Bytes&) = default;

 private:
  std::string data_;
};

// An optional argument left out: the member takes its default.
struct Missing {
  friend bool operator==(Missing, Missing) { return true; }
};
inline constexpr Missing missing{};

class Object;
class EventArgs;

namespace detail {
struct Handle;
}  // namespace detail

// One value crossing the interface: Empty, Missing, an Integer (16 bits), a Long (32 bits), a
// Double, a Boolean, UTF-8 text, Bytes, an object, or an array of Longs or texts.
//
// A whole number wider than 32 bits is kept as it is and passed on: where the member wants a
// Long or an Integer the library answers with error 6 (overflow), never a wrapped number.
class Value {
 public:
  enum class Type {
    Empty,
    Missing,
    Integer,
    Long,
    Double,
    Boolean,
    String,
    Bytes,
    Object,
    LongArray,
    StringArray
  };

  Value() = default;
  Value(Missing) : v_(vtl::Missing{}) {}
  Value(bool b) : v_(b) {}
  Value(std::int16_t n) : v_(n) {}
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, std::int16_t> && !std::same_as<T, char>)
      Value(T n)
      : v_(Wide(n)) {}
  template <std::floating_point T>
  Value(T d) : v_(static_cast<double>(d)) {}
  Value(const char* utf8) : v_(std::string(utf8 ? utf8 : "")) {}
  Value(std::string utf8) : v_(std::move(utf8)) {}
  Value(std::string_view utf8) : v_(std::string(utf8)) {}
  Value(vtl::Bytes bytes) : v_(std::move(bytes)) {}
  Value(std::vector<std::int32_t> longs) : v_(std::move(longs)) {}
  Value(std::vector<std::string> texts) : v_(std::move(texts)) {}
  Value(const Object& object);

  Type type() const noexcept { return static_cast<Type>(v_.index()); }
  bool IsEmpty() const noexcept { return type() == Type::Empty; }

  // Numbers convert among themselves (True is -1; a fraction rounds half to even); a number that
  // does not fit throws Error 6, anything else Error 13. Empty reads as 0, False or "".
  std::int32_t Long() const { return static_cast<std::int32_t>(Whole(INT32_MIN, INT32_MAX)); }
  std::int16_t Integer() const { return static_cast<std::int16_t>(Whole(INT16_MIN, INT16_MAX)); }
  bool Boolean() const { return IsEmpty() ? false : Number() != 0; }
  double Double() const { return IsEmpty() ? 0.0 : Number(); }
  std::string String() const {
    if (IsEmpty()) return {};
    if (const auto* s = std::get_if<std::string>(&v_)) return *s;
    throw Mismatch();
  }
  vtl::Bytes GetBytes() const {
    if (IsEmpty()) return {};
    if (const auto* b = std::get_if<vtl::Bytes>(&v_)) return *b;
    throw Mismatch();
  }
  std::vector<std::int32_t> LongArray() const {
    if (IsEmpty()) return {};
    if (const auto* a = std::get_if<std::vector<std::int32_t>>(&v_)) return *a;
    throw Mismatch();
  }
  std::vector<std::string> StringArray() const {
    if (IsEmpty()) return {};
    if (const auto* a = std::get_if<std::vector<std::string>>(&v_)) return *a;
    throw Mismatch();
  }
  vtl::Object GetObject() const;

  // What a value holds, for the conversions to and from the C interface.
  using Storage = std::variant<std::monostate, vtl::Missing, std::int16_t, std::int64_t, double,
                               bool, std::string, vtl::Bytes, std::shared_ptr<detail::Handle>,
                               std::vector<std::int32_t>, std::vector<std::string>>;
  const Storage& raw() const noexcept { return v_; }

 private:
  template <typename T>
  static std::int64_t Wide(T n) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      return n > static_cast<T>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(n);
    } else {
      return static_cast<std::int64_t>(n);
    }
  }
  static Error Mismatch() {
    return Error(13, "Type mismatch", "vtldllxt", static_cast<std::int32_t>(0x80020005u));
  }
  static Error Overflow() {
    return Error(6, "Overflow", "vtldllxt", static_cast<std::int32_t>(0x8002000Au));
  }
  double Number() const {
    if (const auto* n = std::get_if<std::int16_t>(&v_)) return *n;
    if (const auto* l = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*l);
    if (const auto* d = std::get_if<double>(&v_)) return *d;
    if (const auto* b = std::get_if<bool>(&v_)) return *b ? -1.0 : 0.0;
    throw Mismatch();
  }
  std::int64_t Whole(std::int64_t lo, std::int64_t hi) const {
    if (IsEmpty()) return 0;
    if (const auto* l = std::get_if<std::int64_t>(&v_)) {
      if (*l < lo || *l > hi) throw Overflow();
      return *l;
    }
    const double d = std::nearbyint(Number());  // half to even in the default rounding mode
    if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi))) throw Overflow();
    return static_cast<std::int64_t>(d);
  }

  Storage v_;
};

// A variable passed by reference: a member declared ByRef writes its new value into it.
template <typename T>
class Ref {
 public:
  explicit Ref(T& variable) : target_(&variable) {}
  T& get() const noexcept { return *target_; }

 private:
  T* target_;
};
template <typename T>
Ref<T> ByRef(T& variable) {
  return Ref<T>(variable);
}

// The arguments of one event, in declaration order. Every event argument is ByRef: Set changes
// the value the raising procedure holds (converted to the argument's type; a value that does
// not convert leaves the argument as it was).
class EventArgs {
 public:
  EventArgs(const char* name, vtl_variant* args, std::int32_t count)
      : name_(name ? name : ""), args_(args), count_(count < 0 ? 0 : count) {}
  std::string_view Name() const noexcept { return name_; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(count_); }
  Value operator[](std::size_t i) const;
  std::int32_t Long(std::size_t i) const { return (*this)[i].Long(); }
  bool Boolean(std::size_t i) const { return (*this)[i].Boolean(); }
  void Set(std::size_t i, const Value& value);

 private:
  vtl_variant& At(std::size_t i) const {
    if (i >= size()) {
      throw Error(9, "Subscript out of range", "vtldllxt", static_cast<std::int32_t>(0x80070057u));
    }
    return args_[i];
  }
  const char* name_;
  vtl_variant* args_;
  std::int32_t count_;
};

namespace detail {

// Failures of the C interface become Errors with its last message.
[[noreturn]] inline void ThrowLast(std::int32_t code) {
  std::int32_t number = 0;
  const char* source = nullptr;
  const char* message = vtl_last_error(&number, &source);
  throw Error(number, message ? message : "", source ? source : "", code);
}
inline void Check(std::int32_t code) {
  if (code != VTL_OK) ThrowLast(code);
}

// An exception a handler threw, kept until the wrapper call that was running returns.
inline std::exception_ptr& Pending() {
  thread_local std::exception_ptr pending;
  return pending;
}
inline void Keep(std::exception_ptr e) {
  if (!Pending()) Pending() = std::move(e);
}
inline void RethrowPending() {
  if (std::exception_ptr e = std::exchange(Pending(), nullptr)) std::rethrow_exception(e);
}

// A variant the library filled: cleared when it goes out of scope.
struct Owned {
  vtl_variant v{};
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { vtl_variant_clear(&v); }
};

[[noreturn]] inline void TooLong() {
  throw Error(6, "Overflow", "vtldllxt", static_cast<std::int32_t>(0x8002000Au));
}
inline std::int32_t Length(std::size_t n) {
  if (n > static_cast<std::size_t>(INT32_MAX)) TooLong();
  return static_cast<std::int32_t>(n);
}

// Pointer tables of text arrays, alive for one call.
using Scratch = std::deque<std::vector<char*>>;

struct Sinks;
struct Handle {
  vtl_object* obj = nullptr;
  std::shared_ptr<Sinks> sinks;
  std::int32_t cookie = 0;
  explicit Handle(vtl_object* o) : obj(o) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle();
};

// Fills `out` from `value` without copying: the library never frees what the caller filled in.
inline void ToVariant(const Value& value, vtl_variant& out, Scratch& scratch) {
  out = vtl_variant{};
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out.type = VTL_EMPTY;
        } else if constexpr (std::is_same_v<T, vtl::Missing>) {
          out.type = VTL_MISSING;
        } else if constexpr (std::is_same_v<T, std::int16_t>) {
          out.type = VTL_INTEGER;
          out.num = x;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          out.type = VTL_LONG;
          out.num = x;
        } else if constexpr (std::is_same_v<T, double>) {
          out.type = VTL_DOUBLE;
          out.dbl = x;
        } else if constexpr (std::is_same_v<T, bool>) {
          out.type = VTL_BOOLEAN;
          out.num = x ? -1 : 0;
        } else if constexpr (std::is_same_v<T, std::string>) {
          out.type = VTL_STRING;
          out.str = const_cast<char*>(x.data());
          out.len = Length(x.size());
        } else if constexpr (std::is_same_v<T, vtl::Bytes>) {
          out.type = VTL_BYTES;
          out.str = const_cast<char*>(x.data());
          out.len = Length(x.size());
        } else if constexpr (std::is_same_v<T, std::shared_ptr<Handle>>) {
          out.type = VTL_OBJECT;
          out.obj = x ? x->obj : nullptr;
        } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
          out.type = VTL_LONG_ARRAY;
          out.longs = const_cast<std::int32_t*>(x.data());
          out.len = Length(x.size());
        } else {
          std::vector<char*>& table = scratch.emplace_back();
          for (const std::string& s : x) table.push_back(const_cast<char*>(s.c_str()));
          out.type = VTL_STRING_ARRAY;
          out.strs = table.data();
          out.len = Length(x.size());
        }
      },
      value.raw());
}

Value FromVariant(const vtl_variant& v);

// One argument of a call: its value, and where a ByRef result goes.
struct Arg {
  Value value;
  std::function<void(const Value&)> writeBack;

  template <typename T>
  Arg(Ref<T> ref) : value(ref.get()) {
    T* target = &ref.get();
    writeBack = [target](const Value& v) { Assign(*target, v); };
  }
  template <typename T>
  requires std::constructible_from<Value, T&&> Arg(T&& v) : value(std::forward<T>(v)) {}

  template <typename T>
  static void Assign(T& target, const Value& v) {
    if constexpr (std::is_same_v<T, Value>) {
      target = v;
    } else if constexpr (std::is_same_v<T, bool>) {
      target = v.Boolean();
    } else if constexpr (std::is_same_v<T, std::int16_t>) {
      target = v.Integer();
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
      target = v.Long();
    } else if constexpr (std::is_same_v<T, double>) {
      target = v.Double();
    } else if constexpr (std::is_same_v<T, std::string>) {
      target = v.type() == Value::Type::Bytes ? v.GetBytes().str() : v.String();
    } else if constexpr (std::is_same_v<T, vtl::Bytes>) {
      target = v.type() == Value::Type::String ? vtl::Bytes(v.String()) : v.GetBytes();
    } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
      target = v.LongArray();
    } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
      target = v.StringArray();
    } else {
      static_assert(!sizeof(T),
                    "ByRef takes bool, int16_t, int32_t, double, std::string, "
                    "vtl::Bytes, vectors of int32_t or std::string, or vtl::Value");
    }
  }
};

void OnEvent(void* user, std::int32_t dispid, const char* name, vtl_variant* args,
             std::int32_t count);

}  // namespace detail

// An object of the library: the common ground of PrnPort, Serial and PrnPortData.
class Object {
 public:
  using Handler = std::function<void(EventArgs&)>;

  // An empty handle; calls through it throw Error 91.
  Object() = default;
  // A new object of a creatable class ("clsPrnPort", "clsSerial").
  explicit Object(std::string_view className) {
    vtl_object* obj = nullptr;
    detail::Check(vtl_create(std::string(className).c_str(), &obj));
    h_ = std::make_shared<detail::Handle>(obj);
  }

  explicit operator bool() const noexcept { return h_ != nullptr; }
  std::string ClassName() const { return vtl_class_name(Raw()); }
  // The C interface's handle, for calls this wrapper does not offer; it stays the object's.
  vtl_object* Raw() const {
    if (!h_) throw Error(91, "Object variable not set", "vtldllxt", VTL_E_POINTER);
    return h_->obj;
  }

  // Members by name, case-insensitively. Arguments are C++ values (see Value) in declaration
  // order, vtl::missing for one left out, ByRef(variable) for a member that writes back.
  template <typename... A>
  Value Call(std::string_view member, A&&... args) const {
    return Invoke(VTL_METHOD, member, {detail::Arg(std::forward<A>(args))...});
  }
  template <typename... A>
  Value Get(std::string_view property, A&&... args) const {
    return Invoke(VTL_PROPERTYGET, property, {detail::Arg(std::forward<A>(args))...});
  }
  void Set(std::string_view property, Value value) const {
    Invoke(VTL_PROPERTYPUT, property, {detail::Arg(std::move(value))});
  }

  // Calls `handler` for every `event` (by name, case-insensitively), after the handlers connected
  // before it. Returns a number for Off.
  int On(std::string_view event, Handler handler) const;
  void Off(int id) const;

 protected:
  explicit Object(std::shared_ptr<detail::Handle> h) : h_(std::move(h)) {}
  static constexpr std::int32_t VTL_E_POINTER = static_cast<std::int32_t>(0x80004003u);

 private:
  friend class Value;
  friend Value detail::FromVariant(const vtl_variant& v);

  std::int32_t DispId(std::string_view member) const {
    std::int32_t id = 0;
    const std::string cls = ClassName();
    detail::Check(vtl_get_dispid(cls.c_str(), std::string(member).c_str(), &id));
    return id;
  }

  Value Invoke(std::int32_t kind, std::string_view member, std::vector<detail::Arg> args) const {
    vtl_object* obj = Raw();
    const std::int32_t dispid = DispId(member);
    // Keeps the object alive through the call, whatever the handlers inside it do.
    const std::shared_ptr<detail::Handle> keep = h_;
    struct Variants {
      std::vector<vtl_variant> v;
      ~Variants() {
        for (vtl_variant& x : v) {
          if (x.owned) vtl_variant_clear(&x);
        }
      }
    } vars{std::vector<vtl_variant>(args.size())};
    detail::Scratch scratch;
    for (std::size_t i = 0; i < args.size(); ++i) {
      detail::ToVariant(args[i].value, vars.v[i], scratch);
      vars.v[i].byref = args[i].writeBack ? 1 : 0;
    }
    detail::Owned result;
    const std::int32_t code =
        vtl_invoke(obj, dispid, kind, vars.v.data(), detail::Length(args.size()), &result.v);
    if (code != VTL_OK) detail::ThrowLast(code);
    // The library writes back (into a variant of its own) only what a ByRef member changed.
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args[i].writeBack && vars.v[i].owned) args[i].writeBack(detail::FromVariant(vars.v[i]));
    }
    Value r = detail::FromVariant(result.v);
    detail::RethrowPending();
    return r;
  }

  std::shared_ptr<detail::Handle> h_;
};

namespace detail {

struct Sinks : std::enable_shared_from_this<Sinks> {
  struct Entry {
    int id;
    std::int32_t dispid;
    std::shared_ptr<Object::Handler> handler;
  };
  std::vector<Entry> entries;
  int next = 1;
};

inline Handle::~Handle() {
  if (cookie != 0 && vtl_disconnect(obj, cookie) != VTL_OK) {
    // Dropped on a thread that does not own the object: the library may still call the
    // handlers' table, so it stays (a few bytes) rather than dangle.
    new std::shared_ptr<Sinks>(sinks);
  }
  vtl_release(obj);
}

inline void OnEvent(void* user, std::int32_t dispid, const char* name, vtl_variant* args,
                    std::int32_t count) {
  try {
    // The table outlives this event even if a handler drops the object's last handle.
    const std::shared_ptr<Sinks> sinks = static_cast<Sinks*>(user)->shared_from_this();
    const std::vector<Sinks::Entry> now = sinks->entries;
    EventArgs e(name, args, count);
    for (const Sinks::Entry& entry : now) {
      if (entry.dispid != dispid) continue;
      bool connected = false;
      for (const Sinks::Entry& still : sinks->entries)
        connected = connected || still.id == entry.id;
      if (!connected) continue;
      try {
        (*entry.handler)(e);
      } catch (...) {
        Keep(std::current_exception());
      }
    }
  } catch (...) {
    Keep(std::current_exception());
  }
}

inline Value FromVariant(const vtl_variant& v) {
  const auto text = [&] {
    return v.str ? std::string(v.str, static_cast<std::size_t>(v.len)) : "";
  };
  switch (v.type) {
    case VTL_MISSING:
      return vtl::missing;
    case VTL_INTEGER:
      return static_cast<std::int16_t>(v.num);
    case VTL_LONG:
      return static_cast<std::int64_t>(v.num);
    case VTL_DOUBLE:
      return v.dbl;
    case VTL_BOOLEAN:
      return v.num != 0;
    case VTL_STRING:
      return text();
    case VTL_BYTES:
      return vtl::Bytes(text());
    case VTL_LONG_ARRAY:
      return std::vector<std::int32_t>(v.longs, v.longs + (v.longs && v.len > 0 ? v.len : 0));
    case VTL_STRING_ARRAY: {
      std::vector<std::string> out;
      for (std::int32_t i = 0; v.strs && i < v.len; ++i)
        out.emplace_back(v.strs[i] ? v.strs[i] : "");
      return out;
    }
    case VTL_OBJECT: {
      if (!v.obj) return {};
      vtl_object* ref = vtl_add_ref(v.obj);
      if (!ref) ThrowLast(static_cast<std::int32_t>(0x8000FFFFu));
      return Object(std::make_shared<Handle>(ref));
    }
    default:
      return {};
  }
}

}  // namespace detail

inline Value::Value(const vtl::Object& object) : v_(object.h_) {}

inline vtl::Object Value::GetObject() const {
  if (IsEmpty()) return {};
  if (const auto* h = std::get_if<std::shared_ptr<detail::Handle>>(&v_)) return vtl::Object(*h);
  throw Mismatch();
}

inline Value EventArgs::operator[](std::size_t i) const {
  return detail::FromVariant(At(i));
}

inline void EventArgs::Set(std::size_t i, const Value& value) {
  vtl_variant& a = At(i);
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::int16_t>) {
          vtl_variant_set_integer(&a, x);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          vtl_variant_clear(&a);
          a.type = VTL_LONG;  // out of range: the library keeps the old value
          a.num = x;
        } else if constexpr (std::is_same_v<T, double>) {
          vtl_variant_set_double(&a, x);
        } else if constexpr (std::is_same_v<T, bool>) {
          vtl_variant_set_boolean(&a, x ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::string>) {
          vtl_variant_set_string(&a, x.data(), detail::Length(x.size()));
        } else if constexpr (std::is_same_v<T, vtl::Bytes>) {
          vtl_variant_set_bytes(&a, x.data(), detail::Length(x.size()));
        } else if constexpr (std::is_same_v<T, std::monostate>) {
          vtl_variant_set_empty(&a);
        } else {
          throw Error(13, "Type mismatch", "vtldllxt", static_cast<std::int32_t>(0x80020005u));
        }
      },
      value.raw());
}

inline int Object::On(std::string_view event, Handler handler) const {
  vtl_object* obj = Raw();
  std::int32_t dispid = 0;
  const std::string cls = ClassName();
  detail::Check(vtl_get_event_dispid(cls.c_str(), std::string(event).c_str(), &dispid));
  if (!h_->sinks) {
    auto sinks = std::make_shared<detail::Sinks>();
    std::int32_t cookie = 0;
    detail::Check(vtl_connect(obj, &detail::OnEvent, sinks.get(), &cookie));
    h_->sinks = std::move(sinks);
    h_->cookie = cookie;
  }
  const int id = h_->sinks->next++;
  h_->sinks->entries.push_back({id, dispid, std::make_shared<Handler>(std::move(handler))});
  return id;
}

inline void Object::Off(int id) const {
  if (!h_ || !h_->sinks) return;
  auto& entries = h_->sinks->entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->id == id) {
      entries.erase(it);
      return;
    }
  }
}

// Handshakes for PrnPort::ControlDeFlujo.
enum class Handshake : std::int32_t {
  eHSKNone = 0,
  eHSKSoftware = 1,
  eHSKHardware = 2,
  eHSKSoftwareHardware = 3
};

// What a parallel port's detection found (PrnPort::PortData).
class PrnPortData : public Object {
 public:
  PrnPortData() = default;
  explicit PrnPortData(const Object& o) : Object(o) {}

  std::string Name() const { return Get("Name").String(); }
  std::int16_t Address() const { return Get("Address").Integer(); }
  std::string PortType() const { return Get("PortType").String(); }
  std::int16_t Enabled() const { return Get("Enabled").Integer(); }
  std::string EcpModeDescription() const { return Get("EcpModeDescription").String(); }
  bool SPPExists() const { return Get("SPPExists").Boolean(); }
  bool EPPExists() const { return Get("EPPExists").Boolean(); }
  bool ECPExists() const { return Get("ECPExists").Boolean(); }
  bool PS2Exists() const { return Get("PS2Exists").Boolean(); }
};

// Why the last opening of a device failed: the system's error number (2 no such device, 5 held
// by another program or no permission) and its text; 0 and "" once a device has opened since.
struct OpeningError {
  std::uint32_t number = 0;
  std::string message;
};

// What a port last learned of its printer (PrnPort::Condition).
struct PrinterCondition {
  bool error = false;
  bool paperOut = false;
  bool coverOpen = false;
  bool busy = false;
  std::string words;  // a spooler's words for its queue and the oldest document not yet printed
};

// A receipt printer and its cash drawer behind one port.
class PrnPort : public Object {
 public:
  PrnPort() : Object("clsPrnPort") {}
  explicit PrnPort(std::nullptr_t) {}

  // Queues UTF-8 text (sent in Windows-1252) or bytes (sent as they are); returns the job's
  // number, reported by DatosImpresos once printed.
  std::int32_t Imprimir(std::string_view text, bool comandoPuro = false) const {
    return Call("Imprimir", text, comandoPuro).Long();
  }
  std::int32_t Imprimir(const Bytes& data, bool comandoPuro = false) const {
    return Call("Imprimir", data, comandoPuro).Long();
  }

  // Opening. None throws for a port that cannot be opened: the port shows as in error through
  // NuevoEstado, keeps trying, and UltimoErrorApertura says why.
  void InicializarSerie(std::int32_t puerto, std::int32_t velocidad = -1, bool sinCallBack = false,
                        bool chkSpeed = false) const {
    Call("InicializarSerie", puerto, velocidad, sinCallBack, chkSpeed);
  }
  // The serial device at `device` (a tty, a pseudo-terminal, a link to one), under a COM name no
  // other device uses (MapFreePort); returns that name.
  std::string InicializarSerie(const std::string& device, std::int32_t velocidad = -1,
                               bool sinCallBack = false, bool chkSpeed = false) const;
  void InicializarParalelo(std::int32_t puerto) const { Call("InicializarParalelo", puerto); }
  // The parallel or USB printer device at `device`, under a free LPT name; returns that name.
  std::string InicializarParalelo(const std::string& device) const;
  void InicializarRed(const std::string& host, std::int32_t puerto = 9100) const {
    Call("InicializarRed", host, puerto);
  }
  void InicializarWindows(const std::string& cola) const { Call("InicializarWindows", cola); }
  OpeningError UltimoErrorApertura() const {
    std::int32_t number = 0;
    detail::Owned message;
    detail::Check(vtl_opening_error(Raw(), &number, &message.v));
    return {static_cast<std::uint32_t>(number), detail::FromVariant(message.v).String()};
  }

  // What the port last learned of its printer, without asking it anything.
  PrinterCondition Condition() const {
    std::uint32_t flags = 0;
    detail::Owned words;
    detail::Check(vtl_printer_condition(Raw(), &flags, &words.v));
    return {(flags & VTL_CONDITION_ERROR) != 0, (flags & VTL_CONDITION_PAPER_OUT) != 0,
            (flags & VTL_CONDITION_COVER_OPEN) != 0, (flags & VTL_CONDITION_BUSY) != 0,
            detail::FromVariant(words.v).String()};
  }

  void CloseAll() const { Call("CloseAll"); }
  void ClearAll() const { Call("ClearAll"); }
  void EndDocForzar() const { Call("EndDocForzar"); }
  void CheckError(bool& busy, bool& error, bool& sinPapel) const {
    Call("CheckError", ByRef(busy), ByRef(error), ByRef(sinPapel));
  }
  std::int32_t CutPaper(std::int32_t porcentaje = 100) const {
    return Call("CutPaper", porcentaje).Long();
  }
  // Stores 1-bit BMP files in the printer as logos 1..n (Uploading reports progress).
  void UploadLogo(const std::vector<std::string>& bmpFiles, const std::vector<std::string>& nombres,
                  bool lento = false) const {
    Call("UploadLogo", bmpFiles, nombres, lento);
  }
  PrnPortData PortData(std::int32_t index) const {
    return PrnPortData(Get("PortData", index).GetObject());
  }
  void ListaDePuertosExistentes(std::vector<std::int32_t>& serie,
                                std::vector<std::int32_t>& paralelo) const {
    Call("ListaDePuertosExistentes", ByRef(serie), ByRef(paralelo));
  }
  std::int32_t CheckAutoSpeed(const std::string& puerto, std::int32_t primeras = 2) const {
    return Call("CheckAutoSpeed", puerto, primeras).Long();
  }
  void CheckAutospeedAndHandshake(const std::string& puerto, std::int32_t& velocidad,
                                  std::int32_t& handshake) const {
    Call("CheckAutospeedAndHandshake", puerto, ByRef(velocidad), ByRef(handshake));
  }
  void EnviarPruebasDeVelocidad(const std::string& puerto) const {
    Call("EnviarPruebasDeVelocidad", puerto);
  }
  std::int32_t CommSetLine(std::int16_t linea, bool estado) const {
    return Call("CommSetLine", linea, estado).Long();
  }

  // Properties.
  std::int32_t OutputID() const { return Get("OutputID").Long(); }
  std::int32_t OutBufferCount() const { return Get("OutBufferCount").Long(); }
  bool Busy() const { return Get("Busy").Boolean(); }
  bool Uploading() const { return Get("Uploading").Boolean(); }
  std::int32_t Baudios() const { return Get("Baudios").Long(); }
  std::int32_t LastStatusBIT() const { return Get("LastStatusBIT").Long(); }
  bool AlwaysOnLine() const { return Get("AlwaysOnLine").Boolean(); }
  void AlwaysOnLine(bool v) const { Set("AlwaysOnLine", v); }
  bool Asincrono() const { return Get("Asincrono").Boolean(); }
  void Asincrono(bool v) const { Set("Asincrono", v); }
  bool Rafaga() const { return Get("Rafaga").Boolean(); }
  void Rafaga(bool v) const { Set("Rafaga", v); }
  std::int32_t ControlDeFlujo() const { return Get("ControlDeFlujo").Long(); }
  void ControlDeFlujo(Handshake v) const { Set("ControlDeFlujo", static_cast<std::int32_t>(v)); }
  std::int32_t PortPropiedadesAdicionales() const {
    return Get("PortPropiedadesAdicionales").Long();
  }
  void PortPropiedadesAdicionales(std::int32_t v) const { Set("PortPropiedadesAdicionales", v); }
  void LineasPorSegundo(std::int32_t v) const { Set("LineasPorSegundo", v); }
  bool ControlCajonAbierto() const { return Get("ControlCajonAbierto").Boolean(); }
  void ControlCajonAbierto(bool v) const { Set("ControlCajonAbierto", v); }
  std::string SecuenciaInicializacion() const { return Get("SecuenciaInicializacion").String(); }
  void SecuenciaInicializacion(const std::string& v) const { Set("SecuenciaInicializacion", v); }
  std::string DocName() const { return Get("DocName").String(); }
  void DocName(const std::string& v) const { Set("DocName", v); }
  bool CajonAbierto() const { return Get("CajonAbierto").Boolean(); }
  void CajonAbierto(bool v) const { Set("CajonAbierto", v); }
  bool OnLine() const { return Get("OnLine").Boolean(); }
  void OnLine(bool v) const { Set("OnLine", v); }

  // Events with their arguments typed (On takes any event by name, with EventArgs).
  int OnDatosImpresos(std::function<void(std::int32_t contador)> f) const {
    return On("DatosImpresos", [f = std::move(f)](EventArgs& a) { f(a.Long(0)); });
  }
  int OnNuevoEstado(std::function<void(bool error, bool sinPapel)> f) const {
    return On("NuevoEstado", [f = std::move(f)](EventArgs& a) { f(a.Boolean(0), a.Boolean(1)); });
  }
  int OnLogoGrabado(std::function<void(std::int32_t contador)> f) const {
    return On("LogoGrabado", [f = std::move(f)](EventArgs& a) { f(a.Long(0)); });
  }
  int OnUploading(std::function<void(std::int32_t quedan, std::int32_t total)> f) const {
    return On("Uploading", [f = std::move(f)](EventArgs& a) { f(a.Long(0), a.Long(1)); });
  }
  int OnEstadoCajon(std::function<void(bool abierto)> f) const {
    return On("EstadoCajon", [f = std::move(f)](EventArgs& a) { f(a.Boolean(0)); });
  }
  int OnEstadoOnLlineOffLine(std::function<void(bool online)> f) const {
    return On("EstadoOnLlineOffLine", [f = std::move(f)](EventArgs& a) { f(a.Boolean(0)); });
  }
};

// A general serial port.
class Serial : public Object {
 public:
  Serial() : Object("clsSerial") {}
  explicit Serial(std::nullptr_t) {}

  // Returns the port's slot (1 or more), or 0 when it did not open (CommGetError says why).
  std::int32_t CommOpen(const std::string& puerto,
                        const std::string& settings = "baud=9600 parity=N data=8 stop=1") const {
    return Call("CommOpen", puerto, settings).Long();
  }
  std::int32_t CommSet(const std::string& settings) const {
    return Call("CommSet", settings).Long();
  }
  std::int32_t CommClose() const { return Call("CommClose").Long(); }
  std::int32_t CommFlush() const { return Call("CommFlush").Long(); }
  Value CommWrite(const Bytes& data) const { return Call("CommWrite", data); }
  Value CommWrite(std::string_view text) const { return Call("CommWrite", text); }
  // Reads what has arrived into `data`, as the bytes that came.
  Value CommRead(Bytes& data) const { return Call("CommRead", ByRef(data)); }
  std::int32_t CommGetLine(std::int16_t slot, std::int16_t linea, bool& estado) const {
    return Call("CommGetLine", slot, linea, ByRef(estado)).Long();
  }
  std::int32_t CommSetLine(std::int16_t linea, bool estado) const {
    return Call("CommSetLine", linea, estado).Long();
  }
  std::int32_t CommGetError(std::string& mensaje) const {
    return Call("CommGetError", ByRef(mensaje)).Long();
  }
  std::string GetSystemMessage(std::int32_t codigo) const {
    return Call("GetSystemMessage", codigo).String();
  }
  std::int32_t PortID() const { return Get("PortID").Long(); }
};

// ---- The thread's loop ----

// Processes everything due on this thread's loop without blocking; true if anything ran.
inline bool DoEvents() {
  const bool ran = vtl_do_events() != 0;
  detail::RethrowPending();
  return ran;
}
// Processes what is due, waiting up to `maxWait` for something to happen.
inline bool Pump(std::chrono::milliseconds maxWait) {
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(maxWait.count(), 0, INT32_MAX);
  const bool ran = vtl_pump(static_cast<std::int32_t>(ms)) != 0;
  detail::RethrowPending();
  return ran;
}
// Pumps until `condition()` holds or `timeout` passes on the loop's clock; the condition's last
// answer.
inline bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  struct State {
    const std::function<bool()>* condition;
    std::exception_ptr error;
  } state{&condition, nullptr};
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INT32_MAX);
  const std::int32_t met = vtl_run_until(
      [](void* user) -> std::int32_t {
        auto* s = static_cast<State*>(user);
        // A handler that threw ends the wait: the host hears of it now.
        if (detail::Pending()) return 1;
        try {
          return (*s->condition)() ? 1 : 0;
        } catch (...) {
          s->error = std::current_exception();
          return 1;
        }
      },
      &state, static_cast<std::int32_t>(ms));
  if (state.error) std::rethrow_exception(state.error);
  detail::RethrowPending();
  return met != 0;
}

// ---- Ports and devices ----

// Maps a port name ("COM3", "LPT1") to a device path for the whole process, ahead of the
// environment (VTL_COMn, VTL_LPTn) and the system's defaults.
inline void MapPort(const std::string& name, const std::string& path) {
  detail::Check(vtl_map_port(name.c_str(), path.c_str()));
}
inline void UnmapPort(const std::string& name) {
  detail::Check(vtl_map_port(name.c_str(), nullptr));
}
// Maps the first "COM" (or "LPT") name that stands for no device yet to `path` and returns it
// (the name already mapped to `path`, if there is one).
inline std::string MapFreePort(std::string_view kind, const std::string& path) {
  detail::Owned name;
  detail::Check(vtl_map_free_port(std::string(kind).c_str(), path.c_str(), &name.v));
  return detail::FromVariant(name.v).String();
}
// The device a port name opens; empty when it stands for none.
inline std::string PortDevice(const std::string& name) {
  detail::Owned path;
  if (vtl_port_device(name.c_str(), &path.v) != VTL_OK) return {};
  return detail::FromVariant(path.v).String();
}
// The print spooler's queues (waits for the spooler: a few seconds at most).
inline std::vector<std::string> SpoolerQueues() {
  detail::Owned queues;
  detail::Check(vtl_spooler_queues(&queues.v));
  return detail::FromVariant(queues.v).StringArray();
}
// A spooler queue's state and reasons in the spooler's words; throws vtl::Error (1801) for a
// queue it does not know.
inline std::string SpoolerQueueState(const std::string& queue) {
  detail::Owned words;
  detail::Check(vtl_spooler_queue_state(queue.c_str(), &words.v));
  return detail::FromVariant(words.v).String();
}
// How parallel-port registers are reached: "ppdev", "/dev/port", "simulated" or "none".
inline std::string PortIoBackend() {
  return vtl_port_io_backend();
}
// The version of the library this program runs with, "MAJOR.MINOR.PATCH".
inline std::string Version() {
  return vtl_version();
}

inline std::string PrnPort::InicializarSerie(const std::string& device, std::int32_t velocidad,
                                             bool sinCallBack, bool chkSpeed) const {
  const std::string name = MapFreePort("COM", device);
  InicializarSerie(std::stoi(name.substr(3)), velocidad, sinCallBack, chkSpeed);
  return name;
}

inline std::string PrnPort::InicializarParalelo(const std::string& device) const {
  const std::string name = MapFreePort("LPT", device);
  InicializarParalelo(std::stoi(name.substr(3)));
  return name;
}

// ---- Text ----

// UTF-8 text as the printer gets it (characters Windows-1252 lacks become "?"), and back.
inline Bytes ToWindows1252(std::string_view utf8) {
  detail::Owned out;
  detail::Check(vtl_text_to_bytes(utf8.data(), detail::Length(utf8.size()), &out.v));
  return detail::FromVariant(out.v).GetBytes();
}
inline std::string FromWindows1252(const Bytes& bytes) {
  detail::Owned out;
  detail::Check(vtl_bytes_to_text(bytes.data(), detail::Length(bytes.size()), &out.v));
  return detail::FromVariant(out.v).String();
}

// ---- A printer in this process ----

// Accepts every write at once and keeps it, with CTS and DSR up: for trying a host without
// hardware. Open it through a port name mapped to Device(), e.g. port.InicializarSerie(
// printer.Device()). It is removed with this object.
class SimulatedPrinter {
 public:
  explicit SimulatedPrinter(std::string name) : name_(std::move(name)) {
    detail::Check(vtl_sim_printer_create(name_.c_str()));
  }
  ~SimulatedPrinter() {
    if (!name_.empty()) vtl_sim_printer_remove(name_.c_str());
  }
  SimulatedPrinter(const SimulatedPrinter&) = delete;
  SimulatedPrinter& operator=(const SimulatedPrinter&) = delete;

  const std::string& Name() const noexcept { return name_; }
  std::string Device() const { return "sim:" + name_; }
  // The data of each write, in order, as the port handed it over.
  std::vector<Bytes> Writes() const {
    std::int32_t count = 0;
    detail::Check(vtl_sim_printer_writes(name_.c_str(), &count));
    std::vector<Bytes> out;
    for (std::int32_t i = 0; i < count; ++i) {
      detail::Owned data;
      detail::Check(vtl_sim_printer_write(name_.c_str(), i, &data.v));
      out.push_back(detail::FromVariant(data.v).GetBytes());
    }
    return out;
  }
  Bytes Received() const {
    Bytes all;
    for (const Bytes& b : Writes()) all += b;
    return all;
  }

 private:
  std::string name_;
};

}  // namespace v1
}  // namespace vtl

#endif  // VTLDLLXT_HPP

#include "interface/variant.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "interface/errors.h"

namespace vtl {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Text to a whole number the way a host converts it: decimal, optionally signed, rounded half
// to even when it has a fraction; anything else is a type mismatch.
std::int64_t TextToNumber(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty()) throw DispatchError::TypeMismatch();
  std::size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  bool digits = false, dot = false;
  for (; i < t.size(); ++i) {
    if (t[i] >= '0' && t[i] <= '9') {
      digits = true;
    } else if (t[i] == '.' && !dot) {
      dot = true;
    } else {
      throw DispatchError::TypeMismatch();
    }
  }
  if (!digits) throw DispatchError::TypeMismatch();
  errno = 0;
  const double d = std::strtod(t.c_str(), nullptr);
  if (errno == ERANGE || !std::isfinite(d) || std::fabs(d) > 9.2e18)
    throw DispatchError::Overflow();
  return static_cast<std::int64_t>(std::nearbyint(d));
}

std::int64_t ToWide(const Variant::Value& v) {
  return std::visit(
      Overloaded{[](std::monostate) -> std::int64_t { return 0; },
                 [](std::int16_t x) -> std::int64_t { return x; },
                 [](std::int32_t x) -> std::int64_t { return x; },
                 [](bool b) -> std::int64_t { return b ? -1 : 0; },
                 [](const std::string& s) -> std::int64_t { return TextToNumber(s); },
                 [](const Variant::Bytes& b) -> std::int64_t { return TextToNumber(b.data); },
                 [](Variant* r) -> std::int64_t { return r ? ToWide(r->Raw()) : 0; },
                 [](const auto&) -> std::int64_t { throw DispatchError::TypeMismatch(); }},
      v);
}

}  // namespace

const char* VarTypeName(VarType type) {
  switch (type) {
    case VarType::Empty:
      return "Empty";
    case VarType::Integer:
      return "Integer";
    case VarType::Long:
      return "Long";
    case VarType::String:
      return "String";
    case VarType::Object:
      return "Object";
    case VarType::Missing:
      return "Missing";
    case VarType::Boolean:
      return "Boolean";
    case VarType::Variant:
      return "Variant";
    case VarType::Bytes:
      return "Bytes";
    case VarType::LongArray:
      return "Long()";
    case VarType::StringArray:
      return "String()";
  }
  return "?";
}

VarType Variant::Type() const {
  return std::visit(
      Overloaded{[](std::monostate) { return VarType::Empty; },
                 [](std::int16_t) { return VarType::Integer; },
                 [](std::int32_t) { return VarType::Long; },
                 [](const std::string&) { return VarType::String; },
                 [](bool) { return VarType::Boolean; }, [](const Bytes&) { return VarType::Bytes; },
                 [](const std::shared_ptr<DispatchObject>&) { return VarType::Object; },
                 [](const std::vector<std::int32_t>&) { return VarType::LongArray; },
                 [](const std::vector<std::string>&) { return VarType::StringArray; },
                 [](Missing) { return VarType::Missing; },
                 [](Variant* r) { return r ? r->Type() : VarType::Empty; }},
      value_);
}

std::int32_t Variant::ToLong() const {
  const std::int64_t v = ToWide(value_);
  if (v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max()) {
    throw DispatchError::Overflow();
  }
  return static_cast<std::int32_t>(v);
}

std::int16_t Variant::ToInteger() const {
  const std::int64_t v = ToWide(value_);
  if (v < std::numeric_limits<std::int16_t>::min() ||
      v > std::numeric_limits<std::int16_t>::max()) {
    throw DispatchError::Overflow();
  }
  return static_cast<std::int16_t>(v);
}

bool Variant::ToBoolean() const {
  const Variant& t = Target();
  if (const auto* s = std::get_if<std::string>(&t.value_)) {
    std::string lower = Trim(*s);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "true") return true;
    if (lower == "false") return false;
  }
  return ToWide(t.value_) != 0;
}

std::string Variant::ToString() const {
  return std::visit(
      Overloaded{[](std::monostate) { return std::string(); },
                 [](std::int16_t x) { return std::to_string(x); },
                 [](std::int32_t x) { return std::to_string(x); },
                 [](bool b) { return std::string(b ? "True" : "False"); },
                 [](const std::string& s) { return s; }, [](const Bytes& b) { return b.data; },
                 [](Variant* r) { return r ? r->ToString() : std::string(); },
                 [](const auto&) -> std::string { throw DispatchError::TypeMismatch(); }},
      value_);
}

std::vector<std::int32_t> Variant::ToLongArray() const {
  const Variant& t = Target();
  if (t.IsEmpty()) return {};
  if (const auto* a = std::get_if<std::vector<std::int32_t>>(&t.value_)) return *a;
  throw DispatchError::TypeMismatch();
}

std::vector<std::string> Variant::ToStringArray() const {
  const Variant& t = Target();
  if (t.IsEmpty()) return {};
  if (const auto* a = std::get_if<std::vector<std::string>>(&t.value_)) return *a;
  throw DispatchError::TypeMismatch();
}

std::shared_ptr<DispatchObject> Variant::ToObject() const {
  const Variant& t = Target();
  if (t.IsEmpty()) return nullptr;
  if (const auto* o = std::get_if<std::shared_ptr<DispatchObject>>(&t.value_)) return *o;
  throw DispatchError::TypeMismatch();
}

bool Variant::operator==(const Variant& other) const {
  const Variant& a = Target();
  const Variant& b = other.Target();
  if (a.Type() != b.Type()) return false;
  return a.value_ == b.value_;
}

}  // namespace vtl

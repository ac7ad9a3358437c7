#include "interface/variant.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "base/cadenas.h"
#include "base/decimal.h"
#include "interface/errors.h"

namespace vtl {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Rounds half to even, as hosts round a fraction to a whole number, whatever rounding mode the
// host's floating-point environment is in.
double RoundHalfEven(double d) {
  const double f = std::floor(d);
  const double rest = d - f;
  if (rest > 0.5) return f + 1;
  if (rest < 0.5) return f;
  return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

std::int64_t DoubleToWide(double d) {
  // Also false for a NaN, which no whole number holds either.
  if (!(d > -9.2e18 && d < 9.2e18)) throw DispatchError::Overflow();
  return static_cast<std::int64_t>(RoundHalfEven(d));
}

// Numeric text the way a host reads it: optionally signed decimal digits with at most one point
// and an optional exponent (E or D); spaces around it are allowed, anything else is a type
// mismatch. The point is always ".", whatever locale the host runs in.
double TextToDouble(const std::string& text) {
  const std::optional<Decimal> n = LeerDecimal(text);
  if (!n) throw DispatchError::TypeMismatch();
  const std::size_t primera = n->digitos.find_first_not_of('0');
  if (primera == std::string::npos) return 0.0;
  const std::string_view cifras = std::string_view(n->digitos).substr(primera);
  const long long exponente = n->exponente - n->decimales;
  // What from_chars reads: the significant digits and one exponent.
  const std::string plain = std::string(cifras) + "e" + std::to_string(exponente);
  double d = 0;
  const auto r = std::from_chars(plain.data(), plain.data() + plain.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    // Out of range above when the first significant digit stands left of the point.
    if (static_cast<long long>(cifras.size()) + exponente > 0) throw DispatchError::Overflow();
    return 0.0;  // too small to tell from zero
  }
  if (r.ec != std::errc() || r.ptr != plain.data() + plain.size()) {
    throw DispatchError::TypeMismatch();
  }
  return n->negativo ? -d : d;
}

std::int64_t ToWide(const Variant::Value& v) {
  return std::visit(
      Overloaded{[](std::monostate) -> std::int64_t { return 0; },
                 [](std::int16_t x) -> std::int64_t { return x; },
                 [](std::int32_t x) -> std::int64_t { return x; },
                 [](double d) -> std::int64_t { return DoubleToWide(d); },
                 [](bool b) -> std::int64_t { return b ? -1 : 0; },
                 [](const std::string& s) -> std::int64_t { return DoubleToWide(TextToDouble(s)); },
                 [](const Variant::Bytes& b) -> std::int64_t {
                   return DoubleToWide(TextToDouble(b.data));
                 },
                 [](Variant* r) -> std::int64_t { return r ? ToWide(r->Raw()) : 0; },
                 [](const auto&) -> std::int64_t { throw DispatchError::TypeMismatch(); }},
      v);
}

// A Double as text the way hosts show it: up to 15 significant digits, an exponent only for
// very large or small values ("1E+20", "1.5E-07").
std::string DoubleToText(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15G", d);
  return buf;
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
    case VarType::Double:
      return "Double";
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
                 [](std::int32_t) { return VarType::Long; }, [](double) { return VarType::Double; },
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
    std::string lower = RecortarEspacios(*s);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "true") return true;
    if (lower == "false") return false;
    return TextToDouble(*s) != 0;  // any value but zero is True, 0.3 included
  }
  if (const auto* d = std::get_if<double>(&t.value_)) return *d != 0;
  if (const auto* b = std::get_if<Bytes>(&t.value_)) return TextToDouble(b->data) != 0;
  return ToWide(t.value_) != 0;
}

std::string Variant::ToString() const {
  return std::visit(
      Overloaded{[](std::monostate) { return std::string(); },
                 [](std::int16_t x) { return std::to_string(x); },
                 [](std::int32_t x) { return std::to_string(x); },
                 [](double d) { return DoubleToText(d); },
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

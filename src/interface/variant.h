// The automation variant: what crosses the dispatch interface in both directions.
//
// Strings hold Windows-1252 bytes, one byte per character, exactly as they go on the wire. A
// String and a Bytes variant carry the same kind of content; they differ only at the C boundary,
// where String is UTF-8 text to convert and Bytes passes untouched. A ByRef variant refers to the
// caller's variant, which a procedure may write back into.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace vtl {

class DispatchObject;

enum class VarType : std::int32_t {
  Empty = 0,
  Integer = 2,
  Long = 3,
  Double = 5,
  String = 8,
  Object = 9,
  Missing = 10,  // an optional argument left out
  Boolean = 11,
  Variant = 12,  // as a declared type: anything goes
  Bytes = 17,
  LongArray = 0x2003,
  StringArray = 0x2008,
};

const char* VarTypeName(VarType type);

class Variant {
 public:
  struct Missing {
    bool operator==(const Missing&) const = default;
  };
  struct Bytes {
    std::string data;
    bool operator==(const Bytes&) const = default;
  };
  using Value = std::variant<std::monostate, std::int16_t, std::int32_t, std::string, bool, Bytes,
                             std::shared_ptr<DispatchObject>, std::vector<std::int32_t>,
                             std::vector<std::string>, Missing, Variant*, double>;

  Variant() = default;
  static Variant Integer(std::int16_t v) { return Variant(Value(v)); }
  static Variant Long(std::int32_t v) { return Variant(Value(v)); }
  static Variant Double(double v) { return Variant(Value(v)); }
  static Variant Boolean(bool v) { return Variant(Value(v)); }
  static Variant String(std::string v) { return Variant(Value(std::move(v))); }
  static Variant ByteString(std::string v) { return Variant(Value(Bytes{std::move(v)})); }
  static Variant Object(std::shared_ptr<DispatchObject> o) { return Variant(Value(std::move(o))); }
  static Variant LongArray(std::vector<std::int32_t> v) { return Variant(Value(std::move(v))); }
  static Variant StringArray(std::vector<std::string> v) { return Variant(Value(std::move(v))); }
  static Variant MissingArg() { return Variant(Value(Missing{})); }
  // A reference to `target`, which must outlive the call it is passed to.
  static Variant Ref(Variant& target) { return Variant(Value(&target)); }

  VarType Type() const;
  bool IsEmpty() const { return Type() == VarType::Empty; }
  bool IsByRef() const { return std::holds_alternative<Variant*>(value_); }
  // The variant a ByRef refers to (itself otherwise).
  Variant& Target() { return IsByRef() ? *std::get<Variant*>(value_) : *this; }
  const Variant& Target() const { return IsByRef() ? *std::get<Variant*>(value_) : *this; }
  const Value& Raw() const { return value_; }

  // Conversions as an automation host makes them; they throw vtl::DispatchError on a type
  // mismatch or an overflow (error 6, never a wrapped value). A fraction, in a Double or in
  // numeric text, rounds half to even ("2.5" is 2, "3.5" is 4); True is -1.
  std::int32_t ToLong() const;
  std::int16_t ToInteger() const;
  bool ToBoolean() const;
  std::string ToString() const;
  std::vector<std::int32_t> ToLongArray() const;
  std::vector<std::string> ToStringArray() const;
  std::shared_ptr<DispatchObject> ToObject() const;

  bool operator==(const Variant& other) const;

 private:
  explicit Variant(Value v) : value_(std::move(v)) {}
  Value value_;
};

}  // namespace vtl

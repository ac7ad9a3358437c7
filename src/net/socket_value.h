// A value of a simple automation type as the socket object sends and returns it: its variant
// type and its memory image (little-endian; text and byte arrays are their bytes).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace vtl {

struct SocketValue {
  enum : std::int32_t {
    vtEmpty = 0,
    vtInteger = 2,
    vtLong = 3,
    vtSingle = 4,
    vtDouble = 5,
    vtCurrency = 6,
    vtDate = 7,
    vtString = 8,
    vtBoolean = 11,
    vtByte = 17,
    vtByteArray = 8209,
  };

  std::int32_t varType = vtEmpty;
  std::string image;

  static SocketValue Text(std::string text) { return {vtString, std::move(text)}; }
  static SocketValue ByteArray(std::string bytes) { return {vtByteArray, std::move(bytes)}; }
  static SocketValue Byte(std::uint8_t v) { return Of(vtByte, v); }
  static SocketValue Integer(std::int16_t v) { return Of(vtInteger, v); }
  static SocketValue Boolean(bool v) {
    return Of(vtBoolean, static_cast<std::int16_t>(v ? -1 : 0));
  }
  static SocketValue Long(std::int32_t v) { return Of(vtLong, v); }
  static SocketValue Single(float v) { return Of(vtSingle, v); }
  static SocketValue Double(double v) { return Of(vtDouble, v); }
  // Currency is a count of ten-thousandths.
  static SocketValue Currency(std::int64_t v) { return Of(vtCurrency, v); }
  static SocketValue Date(double v) { return Of(vtDate, v); }

  bool IsEmpty() const { return varType == vtEmpty; }
  // The image read as T; missing bytes count as zero.
  template <typename T>
  T As() const {
    T v{};
    std::memcpy(&v, image.data(), image.size() < sizeof(T) ? image.size() : sizeof(T));
    return v;
  }

 private:
  template <typename T>
  static SocketValue Of(std::int32_t type, T v) {
    std::string bytes(sizeof(T), '\0');
    std::memcpy(bytes.data(), &v, sizeof(T));
    return {type, std::move(bytes)};
  }
};

}  // namespace vtl

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace printersim {

// Builds one JSON object on a single line; the log is read line by line by tests and scripts.
class JsonLine {
 public:
  JsonLine& Add(std::string_view key, std::string_view value);
  JsonLine& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonLine& Add(std::string_view key, const std::string& value) {
    return Add(key, std::string_view(value));
  }
  JsonLine& Add(std::string_view key, int64_t value);
  JsonLine& Add(std::string_view key, int value) { return Add(key, static_cast<int64_t>(value)); }
  JsonLine& Add(std::string_view key, uint64_t value) {
    return Add(key, static_cast<int64_t>(value));
  }
  JsonLine& Add(std::string_view key, bool value);
  // Adds an already formatted JSON value (array, object) as is.
  JsonLine& AddRaw(std::string_view key, std::string_view json);
  std::string Str() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

// Lower-case hex without separators ("1b40").
std::string Hex(std::string_view bytes);
// Quoted JSON string; bytes that are not valid UTF-8 are escaped as \u00XX.
std::string JsonString(std::string_view text);

}  // namespace printersim

// Shared enumerations and small types of the printer port interface.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vtl {

enum eTiposDepuerto : std::int32_t { eTDPLPT = 0, eTDPCOM = 1, eTDPLAN = 2, eTDPWIN = 3 };

enum ePortPropiedadesAdicionales : std::int32_t {
  ePDAImpresorasinCallback = 1,
  ePDAImpresoraTermica = 2,
  ePDAAutoSpeed = 4,
};

enum enumHandshaking : std::int32_t {
  eHSKNone = 0,
  eHSKSoftware = 1,
  eHSKHardware = 2,
  eHSKSoftwareHardware = 3,
};

// An error raised to the caller, as an automation host sees it: a number, a text and a source.
class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, const std::string& description, std::string source)
      : std::runtime_error(description), number_(number), source_(std::move(source)) {}
  std::int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }

 private:
  std::int32_t number_;
  std::string source_;
};

}  // namespace vtl

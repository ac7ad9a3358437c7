// Failures of automation calls: an HRESULT for the C boundary plus the number, text and source an
// automation host shows for the error.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vtl {

inline constexpr std::int32_t S_OK = 0;
inline constexpr std::int32_t E_NOTIMPL = static_cast<std::int32_t>(0x80004001u);
inline constexpr std::int32_t E_POINTER = static_cast<std::int32_t>(0x80004003u);
inline constexpr std::int32_t E_UNEXPECTED = static_cast<std::int32_t>(0x8000FFFFu);
inline constexpr std::int32_t E_INVALIDARG = static_cast<std::int32_t>(0x80070057u);
inline constexpr std::int32_t DISP_E_MEMBERNOTFOUND = static_cast<std::int32_t>(0x80020003u);
inline constexpr std::int32_t DISP_E_TYPEMISMATCH = static_cast<std::int32_t>(0x80020005u);
inline constexpr std::int32_t DISP_E_UNKNOWNNAME = static_cast<std::int32_t>(0x80020006u);
inline constexpr std::int32_t DISP_E_EXCEPTION = static_cast<std::int32_t>(0x80020009u);
inline constexpr std::int32_t DISP_E_OVERFLOW = static_cast<std::int32_t>(0x8002000Au);
inline constexpr std::int32_t DISP_E_BADPARAMCOUNT = static_cast<std::int32_t>(0x8002000Eu);
inline constexpr std::int32_t DISP_E_PARAMNOTOPTIONAL = static_cast<std::int32_t>(0x8002000Fu);
inline constexpr std::int32_t CLASS_E_CLASSNOTAVAILABLE = static_cast<std::int32_t>(0x80040111u);
inline constexpr std::int32_t RPC_E_WRONG_THREAD = static_cast<std::int32_t>(0x8001010Eu);

class DispatchError : public std::runtime_error {
 public:
  DispatchError(std::int32_t hresult, std::int32_t number, const std::string& description,
                std::string source = "vtldllxt")
      : std::runtime_error(description),
        hresult_(hresult),
        number_(number),
        source_(std::move(source)) {}
  std::int32_t HResult() const { return hresult_; }
  std::int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }

  static DispatchError TypeMismatch() {
    return DispatchError(DISP_E_TYPEMISMATCH, 13, "Type mismatch");
  }
  static DispatchError Overflow() { return DispatchError(DISP_E_OVERFLOW, 6, "Overflow"); }

 private:
  std::int32_t hresult_;
  std::int32_t number_;
  std::string source_;
};

}  // namespace vtl

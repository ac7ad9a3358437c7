// The send state of a device port: a bit set whose values hosts and the Parts know.
#pragma once

#include <cstdint>

namespace vtl::envio {

inline constexpr std::int32_t kPendiente = 1;  // a block write was issued and is still in flight
inline constexpr std::int32_t kError = 2;      // an error holds the loop: nothing is written
inline constexpr std::int32_t kEscrito = 4;    // everything handed over; waiting for the printer
inline constexpr std::int32_t kRespuesta = 8;  // (network) a reply without error came

}  // namespace vtl::envio

// The registers of a simulated parallel port: the same on every system, so that detection and the
// status rules can be tested where no real port can be made to answer on demand.
#include <cstdint>

#include "platform/portio.h"

namespace vtl::platform::portio {

SimulatedParallelPort::SimulatedParallelPort(std::uint16_t base, Mode mode)
    : base_(base), mode_(mode), noise_(0x9E3779B9u ^ base) {}

std::uint8_t SimulatedParallelPort::Ecr() const {
  return static_cast<std::uint8_t>(ecr_ | (fifo_.empty() ? 1 : 0) |
                                   (fifo_.size() >= kFifoSize ? 2 : 0));
}

bool SimulatedParallelPort::Reverse() const {
  if (mode_ == kSpp) return false;
  // In standard mode an ECP chip drives the data lines whatever the direction bit says.
  if (mode_ == kEcp && EcrMode() == 0) return false;
  return (control_ & 0x20) != 0;
}

bool SimulatedParallelPort::EppDecoded() const {
  return mode_ == kEpp || (mode_ == kEcp && ecpEpp_ && EcrMode() == 4);
}

std::uint8_t SimulatedParallelPort::Noise() {
  noise_ = noise_ * 1664525u + 1013904223u;
  return static_cast<std::uint8_t>(noise_ >> 24);
}

bool SimulatedParallelPort::Decodes(std::uint16_t address) const {
  // Offsets are taken in 32 bits: a port near the top of the address space decodes nothing
  // beyond it.
  const std::uint32_t a = address, b = base_;
  if (a < b) return false;
  const std::uint32_t offset = a - b;
  if (offset <= 2) return true;
  if (offset <= 7) return mode_ == kEpp || mode_ == kEcp || mode_ == kNoise;
  if (offset >= 0x400 && offset <= 0x402) return mode_ == kEcp || mode_ == kNoise;
  return false;
}

std::uint8_t SimulatedParallelPort::Read(std::uint16_t address) {
  if (!Decodes(address)) return 0xFF;
  if (mode_ == kNoise) return Noise();
  const std::uint32_t offset = static_cast<std::uint32_t>(address) - base_;
  const bool eppStatus = mode_ == kEpp || (mode_ == kEcp && EcrMode() == 4);
  switch (offset) {
    case 0:
      return Reverse() ? external_ : data_;
    case 1:
      return eppStatus ? static_cast<std::uint8_t>((status_ & 0xFE) | (eppTimeout_ ? 1 : 0))
                       : status_;
    case 2:
      // Bits 6 and 7 are not implemented and read 1; an SPP chip has no direction bit either.
      return mode_ == kSpp ? static_cast<std::uint8_t>((control_ & 0x1F) | 0xE0)
                           : static_cast<std::uint8_t>((control_ & 0x3F) | 0xC0);
    case 0x400: {
      const int m = EcrMode();
      if (m == 7) return 0x10;  // configuration A: 8-bit FIFO
      if ((m == 2 || m == 3 || m == 6) && !fifo_.empty()) {
        const std::uint8_t b = fifo_.front();
        fifo_.erase(fifo_.begin());
        return b;
      }
      return 0xFF;
    }
    case 0x401:
      return EcrMode() == 7 ? 0x00 : 0xFF;
    case 0x402:
      return Ecr();
    default:
      if (!EppDecoded()) return 0xFF;
      if (eppCyclesTimeOut_) {
        eppTimeout_ = true;
        return 0xFF;
      }
      return epp_[offset - 3];
  }
}

void SimulatedParallelPort::Write(std::uint16_t address, std::uint8_t value) {
  if (!Decodes(address) || mode_ == kNoise) return;
  const std::uint32_t offset = static_cast<std::uint32_t>(address) - base_;
  switch (offset) {
    case 0:
      data_ = value;
      break;
    case 1:
      // The time-out bit clears when 1 is written to it; the rest of the register is read-only.
      if (value & 1) eppTimeout_ = false;
      break;
    case 2:
      control_ = value;
      break;
    case 0x400: {
      const int m = EcrMode();
      if ((m == 2 || m == 3 || m == 6) && fifo_.size() < kFifoSize) fifo_.push_back(value);
      break;
    }
    case 0x401:
      break;
    case 0x402: {
      const int nuevo = (value >> 5) & 7;
      if (nuevo <= 1 && EcrMode() != nuevo) fifo_.clear();
      ecr_ = static_cast<std::uint8_t>(value & 0xFC);
      break;
    }
    default:
      if (!EppDecoded()) break;
      if (eppCyclesTimeOut_) {
        eppTimeout_ = true;
        break;
      }
      epp_[offset - 3] = value;
  }
}

}  // namespace vtl::platform::portio

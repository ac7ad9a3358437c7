// Direct access to the registers of parallel ports: Inp32 and Out32, as the I/O-port library of
// the original hosts offers them, and the device each port name stands for.
//
// The backend is chosen at run time, at every access:
//   - a simulated port, when a test has installed one (for every thread);
//   - ppdev: when /dev/parportN can be opened for a port whose base address the kernel lists
//     (/proc/sys/dev/parport/parportN/base-addr). Only the data, status and control registers
//     (and the data direction, bit 5 of control) are reachable through it; the EPP registers and
//     the ECR read 0xFF there, so detection finds such a port as "PS/2" or "SPP". The port is
//     claimed once, on a worker (a claim waits while the printer driver prints), and kept until
//     a write to /dev/lpN needs it; until the claim is in, the status lines read "busy";
//   - /dev/port, only when VTL_PORTIO=devport asks for it and the process may open it (root with
//     CAP_SYS_RAWIO on x86): every register. Probing writes to fixed addresses, which on a machine
//     without a parallel port there may belong to other hardware, so it is never the default;
//   - none: every read returns 0xFF (no port answers, so every probe fails), writes go nowhere.
// The default is ppdev where the kernel lists a port, else none. VTL_PORTIO=none|ppdev|devport
// forces one backend; VTL_NO_SYSTEM_PORTS (set by the tests) keeps the machine's ports out of
// reach, as VTL_PORTIO=none does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win.h"

namespace vtl::platform {

// The byte read, as a 16-bit value. Addresses are 16-bit; negative values stand for 0x8000 and
// above.
std::int16_t Inp32(std::int16_t portAddress);
void Out32(std::int16_t portAddress, std::int16_t data);

// The device a DOS name ("COM3", "LPT1", also with "\\.\" in front) opens through CreateFileA,
// in ucchMax characters of lpTargetPath followed by two NULs. Returns the characters stored (NULs
// included), or 0 with ERROR_FILE_NOT_FOUND for a name that maps to nothing and
// ERROR_INSUFFICIENT_BUFFER when the buffer is too small.
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
DWORD QueryDosDeviceA(const char* lpDeviceName, char* lpTargetPath, DWORD ucchMax);

namespace portio {

// The registers of one parallel port as a chip of the given kind presents them.
//   base + 0: data (in reverse direction, PS/2 and later: what the device drives; 0xFF when
//             nothing does)
//   base + 1: status (the printer's lines as the chip reads them; EPP time-out in bit 0, cleared
//             by writing 1 to it)
//   base + 2: control (bit 5 selects the reverse direction where the chip has one; SPP chips
//             read it back as 1 whatever was written)
//   base + 3 .. base + 7: EPP address and data registers (EPP, and ECP chips with an EPP mode
//             while their ECR selects mode 100)
//   base + 0x400: ECP FIFO (modes 010, 011, 110; configuration register A in mode 111)
//   base + 0x401: configuration register B (mode 111)
//   base + 0x402: ECR: mode in bits 5 to 7, bit 1 FIFO full, bit 0 FIFO empty (both read-only);
//             changing to mode 000 or 001 empties the FIFO
// The data register stays at base + 0 in every ECR mode. A kNoise chip answers every register
// it decodes with pseudo-random bytes and ignores writes: a bus with something odd on it.
// Addresses a chip does not decode read 0xFF.
class SimulatedParallelPort {
 public:
  enum Mode { kSpp, kPs2, kEpp, kEcp, kNoise };
  static constexpr std::size_t kFifoSize = 16;

  SimulatedParallelPort(std::uint16_t base, Mode mode);

  std::uint16_t Base() const { return base_; }
  Mode Kind() const { return mode_; }
  // The printer side.
  void SetStatus(std::uint8_t value) { status_ = value; }
  void SetExternalData(std::uint8_t value) { external_ = value; }
  void SetEppTimeout(bool on) { eppTimeout_ = on; }
  // No EPP peripheral answers: every EPP cycle times out and reads 0xFF.
  void SetEppCyclesTimeOut(bool on) { eppCyclesTimeOut_ = on; }
  // An ECP chip that also offers EPP (in ECR mode 100). On by default.
  void SetEcpHasEppMode(bool on) { ecpEpp_ = on; }
  // The ECR as firmware left it; the FIFO bits are the chip's own.
  void SetEcr(std::uint8_t value) { ecr_ = static_cast<std::uint8_t>(value & 0xFC); }

  std::uint8_t Data() const { return data_; }
  std::uint8_t Control() const { return control_; }
  std::uint8_t Ecr() const;
  bool EppTimeout() const { return eppTimeout_; }
  std::size_t FifoCount() const { return fifo_.size(); }

  bool Decodes(std::uint16_t address) const;
  std::uint8_t Read(std::uint16_t address);
  void Write(std::uint16_t address, std::uint8_t value);

 private:
  int EcrMode() const { return (ecr_ >> 5) & 7; }
  bool Reverse() const;
  bool EppDecoded() const;
  std::uint8_t Noise();

  std::uint16_t base_;
  Mode mode_;
  std::uint8_t data_ = 0;
  std::uint8_t status_ = 0xDF;
  std::uint8_t control_ = 0x0C;
  std::uint8_t external_ = 0xFF;
  std::uint8_t epp_[5] = {};
  bool eppTimeout_ = false;
  bool eppCyclesTimeOut_ = false;
  bool ecpEpp_ = true;
  std::uint8_t ecr_ = 0x14;
  std::vector<std::uint8_t> fifo_;
  std::uint32_t noise_;
};

// Replaces the backend with these ports (for every thread) until RemoveSimulated.
void InstallSimulated(std::vector<std::shared_ptr<SimulatedParallelPort>> ports);
void RemoveSimulated();
// "simulated", "ppdev", "/dev/port" or "none": the backend the next access would use.
std::string BackendName();

// ppdev keeps its claim on a port between register accesses; the kernel's printer driver needs
// the port back to print. Called before every write to /dev/lpN: gives the claim on parportN
// back, and answers false (write later) while a worker is still waiting for a claim.
bool ReleaseForPrinterDriver(int parport);
// Tests: stand-in ppdev ports (parport index and base address) whose ioctls go to `ioctlFn`;
// nullptr goes back to the real ones.
void InstallPpdevForTests(const std::vector<std::pair<int, std::uint16_t>>& ports,
                          int (*ioctlFn)(int, unsigned long, void*));

}  // namespace portio
}  // namespace vtl::platform

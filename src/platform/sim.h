// Simulated devices: in-process stand-ins that tests register by name and open with
// CreateFileA("sim:NAME"). They show what real devices cannot be made to do on demand: a write
// that completes 700 of 1024 bytes, a write that fails, a device that hangs up.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/win.h"

namespace vtl::platform::sim {

// What the device does with one WriteFile call. With no step scripted, a write completes at once.
struct WriteStep {
  enum Kind {
    Done,       // completes at once, all bytes
    Failed,     // fails at once with `error`
    Partial,    // queued (997); completes at the next poll with `bytes` written
    FailLater,  // queued (997); fails at the next poll with `error`
    Pending,    // queued (997) until the test calls CompletePending or FailPending
  };
  Kind kind = Done;
  std::uint32_t bytes = 0;
  DWORD error = ERROR_GEN_FAILURE;
};

class Device {
 public:
  explicit Device(std::string name) : name_(std::move(name)) {}
  const std::string& Name() const { return name_; }

  void Script(WriteStep step) { script_.push_back(step); }
  // Completes the write held by a Pending step (all of it unless `bytes` is given).
  void CompletePending(std::optional<std::uint32_t> bytes = std::nullopt);
  void FailPending(DWORD error);
  bool HasPending() const { return held_; }

  // Bytes the device sends back to the host.
  void Incoming(const std::string& bytes) { incoming_ += bytes; }
  // The other end goes away: every later read and write fails.
  void HangUp() { hungUp_ = true; }
  bool HungUp() const { return hungUp_; }

  // Everything the device accepted, in order (what sits in its driver queue not yet).
  const std::string& Written() const { return written_; }
  // A serial driver's output queue: while on, what writes hand over waits here and a write
  // completes only once the queue is empty, as on a UART. DrainKernel lets the line carry it.
  void KeepInKernel(bool on) { kernelMode_ = on; }
  bool KeepsInKernel() const { return kernelMode_; }
  void DrainKernel() {
    written_ += kernel_;
    kernel_.clear();
  }
  std::size_t KernelQueue() const { return kernel_.size(); }
  // The status byte a printer driver reports (DeviceIoControl); none: the driver answers nothing.
  void SetPrinterStatus(std::optional<std::uint8_t> status) { printerStatus_ = status; }
  std::optional<std::uint8_t> PrinterStatus() const { return printerStatus_; }
  // The data of each WriteFile call, as the caller handed it over.
  const std::vector<std::string>& Requests() const { return requests_; }
  void ClearWritten() {
    written_.clear();
    requests_.clear();
  }
  int WriteCalls() const { return writeCalls_; }
  bool IsOpen() const { return openCount_ > 0; }

  // The next `count` openings fail with `error` (a port that is busy or goes missing).
  void FailOpens(int count, DWORD error = ERROR_FILE_NOT_FOUND) {
    failOpens_ = count;
    failOpenError_ = error;
  }
  // Serial line: the modem-status bits the device shows (MS_CTS_ON, MS_DSR_ON, MS_RING_ON,
  // MS_RLSD_ON; CTS, DSR and RLSD at first; none after a hang-up), the line settings the host gave
  // it, and every EscapeCommFunction code it received, in order.
  void SetModemStatus(DWORD bits) { modem_ = bits; }
  DWORD ModemStatus() const { return hungUp_ ? 0 : modem_; }
  const DCB& LineSettings() const { return dcb_; }
  bool LineSet() const { return dcbSet_; }
  const std::vector<DWORD>& Escapes() const { return escapes_; }
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }

 private:
  friend struct DeviceAccess;
  friend struct CommAccess;
  std::string name_;
  std::deque<WriteStep> script_;
  std::string written_;
  std::vector<std::string> requests_;
  std::string incoming_;
  std::string kernel_;
  bool kernelMode_ = false;
  std::optional<std::uint8_t> printerStatus_;
  int writeCalls_ = 0;
  int openCount_ = 0;
  bool hungUp_ = false;
  int failOpens_ = 0;
  DWORD failOpenError_ = ERROR_FILE_NOT_FOUND;
  DWORD modem_ = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;  // a printer that is on
  DCB dcb_{};
  bool dcbSet_ = false;
  std::vector<DWORD> escapes_;
  bool dtr_ = false;
  bool rts_ = false;
  // A write held by a Pending step, and what the test decided for it.
  bool held_ = false;
  bool heldDecided_ = false;
  std::uint32_t heldBytes_ = 0;
  DWORD heldError_ = 0;
};

// Registers (or replaces) the device called `name`.
std::shared_ptr<Device> Register(const std::string& name);
void Unregister(const std::string& name);
std::shared_ptr<Device> Find(const std::string& name);

}  // namespace vtl::platform::sim

// clsSerial: a general serial port for hosts, independent of the printer port. Text written with
// CommWrite goes out in the background and received text arrives through DataIn or CommRead,
// both driven by a 10 ms timer on the host thread's loop; the host's thread never waits on the
// device. Every failed step is kept (number, step name, system text) for CommGetError.
//
// Objects are shared: create them with clsSerial::Create(). An object keeps itself alive while
// one of its own procedures runs, so a host may drop its last reference from inside DataIn or
// DataOut. The open ports of one thread share a table of sixteen slots.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "engine/timer.h"
#include "engine/types.h"
#include "platform/comm.h"
#include "platform/win.h"

namespace vtl {

// Events of clsSerial; arguments by reference, as for every event of the library.
class __clsSerial {  // NOLINT(bugprone-reserved-identifier): its automation name
 public:
  virtual ~__clsSerial() = default;
  // Text arrived; tmpBytesTotales is the length of everything received and not yet taken.
  virtual void DataIn(std::int32_t& /*tmpBytesTotales*/) {}
  // A write finished; tmpBytesTotales is the number of bytes it wrote.
  virtual void DataOut(std::int32_t& /*tmpBytesTotales*/) {}
};

class clsSerial : public std::enable_shared_from_this<clsSerial> {
  struct Key {};

 public:
  static constexpr int kSlots = 16;
  static constexpr const char* kAjustesPorDefecto = "baud=9600 parity=N data=8 stop=1";

  static std::shared_ptr<clsSerial> Create();
  explicit clsSerial(Key);
  ~clsSerial();
  clsSerial(const clsSerial&) = delete;
  clsSerial& operator=(const clsSerial&) = delete;

  // Sinks are called in the order they were connected; they are not owned.
  void Advise(__clsSerial* sink);
  void Unadvise(__clsSerial* sink);

  // The system's text for an error number (trimmed of spaces; its line end stays), "" if none.
  std::string GetSystemMessage(std::int32_t lngErrorCode);
  // Opens strPort (a device name such as "COM1" or "\\.\COM1") with the mode settings and
  // returns its slot number (1 to 16), or 0: the reason is then in CommGetError, except when all
  // sixteen slots are taken, which records nothing.
  std::int32_t CommOpen(const std::string& strPort,
                        const std::string& strSettings = kAjustesPorDefecto);
  std::int32_t PortID() const { return m_intPortID; }
  // Each returns 0 or the number of the error it recorded; with no port open they do nothing
  // and return 0.
  std::int32_t CommSet(const std::string& strSettings);
  std::int32_t CommClose();
  std::int32_t CommFlush();
  // Hands over everything received so far (reading what waits first) and empties the buffer.
  void CommRead(std::string& tmpData);
  // Reads what waits at the port (up to 1024 bytes) and raises DataIn.
  void CommReadtmr();
  // Queues text for the port; text written while no port is open goes out after the next
  // successful CommOpen.
  void CommWrite(const std::string& strData);
  // blnState = whether the modem-status bits in intLine (0x10 CTS, 0x20 DSR, 0x40 ring, 0x80
  // carrier) show on the port in slot intPortid, which may belong to any object of the thread.
  std::int32_t CommGetLine(std::int16_t intPortid, std::int16_t intLine, bool& blnState);
  // intLine 1 break, 2 DTR, 3 RTS.
  std::int32_t CommSetLine(std::int16_t intLine, bool blnState);
  // strMessage = "Error (n): step - text"; returns n. Nothing is cleared.
  std::int32_t CommGetError(std::string& strMessage);

 private:
  template <typename F>
  void Raise(F&& call);
  std::int32_t SetCommError(const std::string& paso);
  std::int32_t SetCommErrorEx(const std::string& paso, std::int32_t slot);
  std::int32_t ErrorInesperado(const std::string& fuente);
  void StartPortTimer();
  void StopPortTimer();
  void CommWriteNext();
  void m_tmrCheckPortEvt_ThatTime();
  platform::HANDLE HandleDelPuerto() const;

  std::vector<__clsSerial*> m_Sinks;
  std::int16_t m_intPortID = 0;
  std::int32_t m_lngErrCode = 0;
  std::string m_strErrSource;
  std::string m_strErrMessage;
  std::string m_strReadBuffer;
  std::string m_strWritePending;
  std::string m_strWriting;
  std::int32_t m_lngWriteStatus = 0;
  // The bytes of the write in flight: they belong to it until it completes.
  std::string m_strEnVuelo;
  platform::OVERLAPPED m_udtOvlWrite{};
  platform::OVERLAPPED m_udtOvlRead{};
  std::unique_ptr<clsTimer> m_tmrCheckPortEvt;
};

// Every sink hears the event even when one before it throws; the first exception then goes on
// to the raising procedure, which records it as an unexpected failure.
template <typename F>
void clsSerial::Raise(F&& call) {
  std::exception_ptr primera;
  const std::vector<__clsSerial*> sinks = m_Sinks;
  for (__clsSerial* sink : sinks) {
    if (std::find(m_Sinks.begin(), m_Sinks.end(), sink) == m_Sinks.end()) continue;
    try {
      call(*sink);
    } catch (...) {
      if (!primera) primera = std::current_exception();
    }
  }
  if (primera) std::rethrow_exception(primera);
}

}  // namespace vtl

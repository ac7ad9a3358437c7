// clsSerial: the slot table, opening and closing, the write pump, reading and the error records.
#include "objects/serial_port.h"

#include <array>
#include <cstdio>
#include <limits>
#include <new>

#include "platform/message.h"
#include "platform/trace.h"

namespace vtl {

using namespace platform;

namespace {

struct udtPort {
  HANDLE handle = 0;
  bool open = false;
  DCB dcb{};
};

// The ports of one thread; objects on other threads have tables of their own.
thread_local std::array<udtPort, clsSerial::kSlots> udtPorts;

constexpr DWORD kAperturaSolapada = 0x40000080;  // FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED
constexpr DWORD kPurgaTotal = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kLectura = 1024;

udtPort* Slot(std::int32_t id) {
  if (id < 1 || id > clsSerial::kSlots) return nullptr;
  return &udtPorts[static_cast<std::size_t>(id - 1)];
}

std::int32_t ComoLong(std::size_t n) {
  return static_cast<std::int32_t>(
      std::min<std::size_t>(n, static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())));
}

std::string Hex(DWORD v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(v));
  return buf;
}

}  // namespace

std::shared_ptr<clsSerial> clsSerial::Create() {
  return platform::OwnedByThisThread(new clsSerial(Key{}));
}

clsSerial::clsSerial(Key) {
  m_tmrCheckPortEvt = std::make_unique<clsTimer>([this] { m_tmrCheckPortEvt_ThatTime(); });
  m_udtOvlWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_udtOvlRead.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

clsSerial::~clsSerial() {
  // No tick may reach a half-destroyed object.
  m_tmrCheckPortEvt.reset();
  try {
    if (m_intPortID >= 1) {
      if (udtPort* s = Slot(m_intPortID); s && s->open) {
        CloseHandle(s->handle);
        s->open = false;
        s->handle = 0;
      }
      m_intPortID = 0;
    }
  } catch (...) {
  }
  if (m_udtOvlWrite.hEvent) CloseHandle(m_udtOvlWrite.hEvent);
  if (m_udtOvlRead.hEvent) CloseHandle(m_udtOvlRead.hEvent);
}

void clsSerial::Advise(__clsSerial* sink) {
  if (sink && std::find(m_Sinks.begin(), m_Sinks.end(), sink) == m_Sinks.end()) {
    m_Sinks.push_back(sink);
  }
}

void clsSerial::Unadvise(__clsSerial* sink) {
  m_Sinks.erase(std::remove(m_Sinks.begin(), m_Sinks.end(), sink), m_Sinks.end());
}

HANDLE clsSerial::HandleDelPuerto() const {
  const udtPort* s = Slot(m_intPortID);
  return s ? s->handle : 0;
}

void clsSerial::StartPortTimer() {
  m_tmrCheckPortEvt->Interval(10);
}

void clsSerial::StopPortTimer() {
  m_tmrCheckPortEvt->Interval(0);
}

std::string clsSerial::GetSystemMessage(std::int32_t lngErrorCode) {
  char buffer[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(lngErrorCode), 0, buffer,
                 255, nullptr);
  std::string texto(buffer);  // up to the first NUL
  const std::size_t a = texto.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  const std::size_t b = texto.find_last_not_of(' ');
  return texto.substr(a, b - a + 1);
}

std::int32_t clsSerial::SetCommError(const std::string& paso) {
  m_lngErrCode = static_cast<std::int32_t>(GetLastError());
  m_strErrSource = paso;
  m_strErrMessage = GetSystemMessage(m_lngErrCode);
  return m_lngErrCode;
}

std::int32_t clsSerial::SetCommErrorEx(const std::string& paso, std::int32_t slot) {
  m_lngErrCode = static_cast<std::int32_t>(GetLastError());
  m_strErrSource = paso;
  m_strErrMessage = GetSystemMessage(m_lngErrCode);
  DWORD errores = 0;
  const udtPort* s = Slot(slot);
  ClearCommError(s ? s->handle : 0, &errores, nullptr);
  m_strErrMessage += "  COMM Error Flags = " + Hex(errores);
  return m_lngErrCode;
}

// A failure that is not a failed system call: its own number and text, the operation as step.
std::int32_t clsSerial::ErrorInesperado(const std::string& fuente) {
  try {
    throw;
  } catch (const Error& e) {
    m_lngErrCode = e.Number();
    m_strErrMessage = e.what();
  } catch (const std::bad_alloc&) {
    m_lngErrCode = 7;
    m_strErrMessage = "Out of memory";
  } catch (...) {
    m_lngErrCode = 51;
    m_strErrMessage = "Internal error";
  }
  m_strErrSource = fuente;
  return m_lngErrCode;
}

std::int32_t clsSerial::CommOpen(const std::string& strPort, const std::string& strSettings) {
  auto self = shared_from_this();
  try {
    if (m_intPortID >= 1) CommClose();
    m_intPortID = 0;
    std::int16_t libre = 0;
    for (std::int16_t i = 1; i <= kSlots; ++i) {
      if (!Slot(i)->open) {
        libre = i;
        break;
      }
    }
    if (libre == 0) {
      StartPortTimer();
      return 0;
    }
    udtPort& slot = *Slot(libre);
    bool fallo = false;
    slot.handle = CreateFileA(strPort.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, kAperturaSolapada, 0);
    if (slot.handle == 0 || slot.handle == INVALID_HANDLE_VALUE) {
      SetCommError("CommOpen (CreateFile)");
      fallo = true;
    } else {
      slot.open = true;
      COMMTIMEOUTS t;
      t.ReadIntervalTimeout = 0xFFFFFFFFu;
      t.ReadTotalTimeoutMultiplier = 0;
      t.ReadTotalTimeoutConstant = 1000;
      t.WriteTotalTimeoutMultiplier = 1000;
      t.WriteTotalTimeoutConstant = 0;
      // A bad settings text leaves the slot's block as the port reported it.
      DCB nuevo{};
      if (!SetupComm(slot.handle, 1024, 1024)) {
        SetCommError("CommOpen (SetupComm)");
        fallo = true;
      } else if (!PurgeComm(slot.handle, kPurgaTotal)) {
        SetCommError("CommOpen (PurgeComm)");
        fallo = true;
      } else if (!SetCommTimeouts(slot.handle, &t)) {
        SetCommError("CommOpen (SetCommTimeouts)");
        fallo = true;
      } else if (!GetCommState(slot.handle, &slot.dcb)) {
        SetCommError("CommOpen (GetCommState)");
        fallo = true;
      } else if (nuevo = slot.dcb; !BuildCommDCBA(strSettings.c_str(), &nuevo)) {
        SetCommError("CommOpen (BuildCommDCB)");
        fallo = true;
      } else if (slot.dcb = nuevo; !SetCommState(slot.handle, &slot.dcb)) {
        SetCommError("CommOpen (SetCommState)");
        fallo = true;
      } else {
        m_intPortID = libre;
      }
      if (fallo) {
        // A port that could not be set up is given back, with its slot, rather than held
        // until the process ends.
        CloseHandle(slot.handle);
        slot.open = false;
        slot.handle = 0;
      }
    }
    if (fallo) {
      StopPortTimer();
    } else {
      // A write that failed, or that was running when the port was last closed, ended with
      // that port: what it had not written goes out first on this one, and writing resumes.
      m_strWritePending = m_strEnVuelo + m_strWritePending;
      m_strEnVuelo.clear();
      m_lngWriteStatus = 0;
      StartPortTimer();
    }
    return m_intPortID;
  } catch (...) {
    ErrorInesperado("CommOpen");
    StopPortTimer();
    return 0;
  }
}

std::int32_t clsSerial::CommSet(const std::string& strSettings) {
  auto self = shared_from_this();
  try {
    udtPort* slot = Slot(m_intPortID);
    if (!slot) return 0;
    if (!GetCommState(slot->handle, &slot->dcb)) return SetCommError("CommSet (GetCommState)");
    DCB nuevo = slot->dcb;
    if (!BuildCommDCBA(strSettings.c_str(), &nuevo)) return SetCommError("CommSet (BuildCommDCB)");
    slot->dcb = nuevo;
    if (!SetCommState(slot->handle, &slot->dcb)) return SetCommError("CommSet (SetCommState)");
    return 0;
  } catch (...) {
    return ErrorInesperado("CommSet");
  }
}

std::int32_t clsSerial::CommClose() {
  auto self = shared_from_this();
  try {
    udtPort* slot = Slot(m_intPortID);
    if (!slot) return 0;
    if (slot->open) {
      if (!CloseHandle(slot->handle)) return SetCommError("CommClose (CloseHandle)");
      slot->open = false;
      slot->handle = 0;
      if (m_lngWriteStatus == static_cast<std::int32_t>(ERROR_IO_PENDING)) {
        // Closing ended the write in flight; what it had not written yet waits for the next
        // port instead of being lost.
        const std::size_t hechos =
            std::min<std::size_t>(m_udtOvlWrite.InternalHigh, m_strEnVuelo.size());
        m_strEnVuelo.erase(0, hechos);
      }
    }
    StopPortTimer();
    m_intPortID = 0;
    return 0;
  } catch (...) {
    return ErrorInesperado("CommClose");
  }
}

std::int32_t clsSerial::CommFlush() {
  auto self = shared_from_this();
  try {
    udtPort* slot = Slot(m_intPortID);
    if (!slot) return 0;
    if (!PurgeComm(slot->handle, kPurgaTotal)) return SetCommError("CommFlush (PurgeComm)");
    // The purge ended the write in flight: the rest of it is discarded, as a flush means, and the
    // pump starts afresh, so the next CommWrite goes out. A write that completed before the
    // purge is left for the pump to report with DataOut; one that had failed is dropped too.
    // Text given to CommWrite and not yet handed to a write stays.
    if (m_lngWriteStatus == static_cast<std::int32_t>(ERROR_IO_PENDING)) {
      DWORD escritos = 0;
      if (GetOverlappedResult(slot->handle, &m_udtOvlWrite, &escritos, FALSE) ||
          GetLastError() == ERROR_IO_INCOMPLETE) {
        return 0;
      }
    }
    m_lngWriteStatus = 0;
    m_strEnVuelo.clear();
    return 0;
  } catch (...) {
    return ErrorInesperado("CommFlush");
  }
}

void clsSerial::CommWrite(const std::string& strData) {
  auto self = shared_from_this();
  m_strWritePending += strData;
  CommWriteNext();
  return;
}

void clsSerial::CommWriteNext() {
  if ((m_strWriting.empty() && m_strWritePending.empty()) || m_intPortID == 0) return;
  const std::int32_t slot = m_intPortID;
  const HANDLE handle = HandleDelPuerto();
  try {
    std::int64_t cuenta = 0;
    if (m_lngWriteStatus == 0) {
      m_strWriting += m_strWritePending;
      m_strWritePending.clear();
      m_strEnVuelo = std::move(m_strWriting);
      m_strWriting.clear();
      DWORD escritos = 0;
      if (WriteFile(handle, m_strEnVuelo.data(), static_cast<DWORD>(m_strEnVuelo.size()), &escritos,
                    &m_udtOvlWrite)) {
        cuenta = escritos;
        m_strEnVuelo.clear();
      } else {
        m_lngWriteStatus = static_cast<std::int32_t>(GetLastError());
      }
    } else if (m_lngWriteStatus == static_cast<std::int32_t>(ERROR_IO_PENDING)) {
      DWORD escritos = 0;
      if (GetOverlappedResult(handle, &m_udtOvlWrite, &escritos, FALSE)) {
        m_lngWriteStatus = 0;
        cuenta = escritos;
        m_strEnVuelo.clear();
      } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
        m_lngWriteStatus = static_cast<std::int32_t>(GetLastError());
        m_strEnVuelo.erase(0, std::min<std::size_t>(escritos, m_strEnVuelo.size()));
        SetCommErrorEx("CommWrite (GetOverlappedResult)", slot);
      }
    } else {
      // The number recorded is the failed write's own, not whatever call failed last.
      SetLastError(static_cast<DWORD>(m_lngWriteStatus));
      cuenta = -1;
      SetCommErrorEx("CommWrite (WriteFile)", slot);
    }
    if (cuenta > 0) {
      std::int32_t total = ComoLong(static_cast<std::size_t>(cuenta));
      if (trace::On()) trace::Line("event DataOut(" + std::to_string(total) + ")");
      Raise([&](__clsSerial& s) { s.DataOut(total); });
    }
  } catch (...) {
    m_strWritePending = m_strWriting + m_strWritePending;
    m_strWriting.clear();
    ErrorInesperado("CommWrite");
  }
}

void clsSerial::CommReadtmr() {
  auto self = shared_from_this();
  if (m_intPortID == 0) return;
  const std::int32_t slot = m_intPortID;
  const HANDLE handle = HandleDelPuerto();
  try {
    DWORD errores = 0;
    COMSTAT estado;
    if (!ClearCommError(handle, &errores, &estado)) {
      SetCommError("CommRead (ClearCommError)");
      return;
    }
    if (estado.cbInQue == 0) return;
    char buffer[kLectura];
    DWORD leidos = 0;
    const DWORD pedir = std::min<DWORD>(estado.cbInQue, kLectura);
    if (!ReadFile(handle, buffer, pedir, &leidos, &m_udtOvlRead)) {
      if (GetLastError() == ERROR_IO_PENDING) {
        // Bounded: each wait is held to the port's time-outs, and a read that never ends is
        // given up rather than holding the host's thread.
        bool hecho = false;
        for (int intento = 0; intento < 100 && !hecho; ++intento) {
          if (GetOverlappedResult(handle, &m_udtOvlRead, &leidos, TRUE)) {
            hecho = true;
          } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
            SetCommErrorEx("CommRead (udtCommOverlapRead)", slot);
            break;
          }
        }
        if (!hecho) {
          CancelIo(handle);
          leidos = 0;
        }
      } else {
        SetCommErrorEx("CommRead (ReadFile)", slot);
      }
    }
    if (leidos > 0) {
      m_strReadBuffer.append(buffer, std::min<DWORD>(leidos, kLectura));
      std::int32_t total = ComoLong(m_strReadBuffer.size());
      if (trace::On()) trace::Line("event DataIn(" + std::to_string(total) + ")");
      Raise([&](__clsSerial& s) { s.DataIn(total); });
    }
  } catch (...) {
    ErrorInesperado("CommRead");
  }
  return;
}

void clsSerial::CommRead(std::string& tmpData) {
  auto self = shared_from_this();
  StopPortTimer();
  // The port check runs again however this call ends.
  struct Reanudar {
    clsSerial& serial;
    ~Reanudar() {
      try {
        serial.StartPortTimer();
      } catch (...) {
      }
    }
  } reanudar{*this};
  CommReadtmr();
  tmpData = std::move(m_strReadBuffer);
  m_strReadBuffer.clear();
  return;
}

void clsSerial::m_tmrCheckPortEvt_ThatTime() {
  auto self = shared_from_this();
  CommWriteNext();
  CommReadtmr();
}

std::int32_t clsSerial::CommGetLine(std::int16_t intPortid, std::int16_t intLine, bool& blnState) {
  auto self = shared_from_this();
  try {
    const udtPort* slot = Slot(intPortid);
    if (!slot) throw Error(9, "Subscript out of range", "CommReadCD");
    DWORD estado = 0;
    // A slot that holds no port has no handle to ask.
    if (!GetCommModemStatus(slot->open ? slot->handle : 0, &estado)) {
      return SetCommError("CommReadCD (GetCommModemStatus)");
    }
    blnState = (static_cast<DWORD>(static_cast<std::uint16_t>(intLine)) & estado) != 0;
    return 0;
  } catch (...) {
    return ErrorInesperado("CommReadCD");
  }
}

std::int32_t clsSerial::CommSetLine(std::int16_t intLine, bool blnState) {
  auto self = shared_from_this();
  try {
    if (m_intPortID < 1) return 0;
    const DWORD codigo = CodigoDeLinea(intLine, blnState);
    if (!EscapeCommFunction(HandleDelPuerto(), codigo)) {
      return SetCommError("CommSetLine (EscapeCommFunction)");
    }
    return 0;
  } catch (...) {
    return ErrorInesperado("CommSetLine");
  }
}

std::int32_t clsSerial::CommGetError(std::string& strMessage) {
  strMessage =
      "Error (" + std::to_string(m_lngErrCode) + "): " + m_strErrSource + " - " + m_strErrMessage;
  return m_lngErrCode;
}

}  // namespace vtl

// The serial settings form: applies speed, framing and flow control to a serial port before the
// printer port opens it, through a serial communications control whose properties are set by
// dispatch identifier. The line keeps the settings after the control closes the port.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "engine/types.h"
#include "platform/win.h"

namespace vtl {

// A property's value: a Long, a Boolean or a text (nothing where none was set).
using ValorControl = std::variant<std::monostate, std::int32_t, bool, std::string>;

// A serial communications control: a port that is configured through numbered properties and
// opened and closed by one of them. A property that cannot take a value (a bad settings text, a
// port that will not open, output to a closed port) fails and keeps what it had.
class clsControlSerie {
 public:
  // Property numbers.
  static constexpr int kCommPort = 4;        // Long, 1-based port number
  static constexpr int kDTREnable = 5;       // Boolean: DTR up while open
  static constexpr int kRTSEnable = 7;       // Boolean: RTS up while open (without RTS handshake)
  static constexpr int kNullDiscard = 9;     // Boolean: kept, no effect on the line
  static constexpr int kHandshaking = 10;    // Long, enumHandshaking
  static constexpr int kInBufferSize = 11;   // Long, driver input queue
  static constexpr int kOutBufferSize = 17;  // Long, driver output queue
  static constexpr int kPortOpen = 20;       // Boolean: opens or closes the port
  static constexpr int kRThreshold = 21;     // Long: kept
  static constexpr int kEOFEnable = 22;      // Boolean: kept, no effect on the line
  static constexpr int kSettings = 23;       // String "speed,parity,data,stop"
  static constexpr int kSThreshold = 24;     // Long: kept
  static constexpr int kOutput = 25;         // String: bytes written at once while open
  static constexpr int kBinaryInput = 28;    // Boolean: kept, no effect on the line

  clsControlSerie();
  ~clsControlSerie();
  clsControlSerie(const clsControlSerie&) = delete;
  clsControlSerie& operator=(const clsControlSerie&) = delete;

  // False when the property refuses the value (the value is then not stored).
  bool Put(int dispid, const ValorControl& value);
  ValorControl Get(int dispid) const;
  const std::map<int, ValorControl>& Properties() const { return props_; }

 private:
  bool Open();
  bool PonerLinea(int dispid, const ValorControl& value);
  bool PonerInterruptor(int dispid, const ValorControl& value);
  void Close();
  bool ApplyLine();
  std::int32_t Long(int dispid) const;
  bool Bool(int dispid) const;

  std::map<int, ValorControl> props_;
  platform::HANDLE handle_ = 0;
};

class frmInitComm {
 public:
  // The calling thread's form, created on first use.
  static frmInitComm& Instance();

  // Opens the port once through the control with these settings, sends two NUL bytes, sets the
  // handshake and closes it again; tmpAbrioPuerto tells whether the port could be opened.
  void SetCOmmSettings(std::int32_t& tmpPuerto, std::int32_t& tmpVelocidad, std::int32_t& tmpBuff,
                       bool& tmpAbrioPuerto, bool& tmpControlDeFlujo,
                       std::int32_t& tmpAdvancedHandshake);

  // The control's properties as the last SetCOmmSettings left them (for diagnostics and tests).
  std::map<int, ValorControl> UltimosAjustes() const { return ultimos_; }

 private:
  frmInitComm() = default;
  std::map<int, ValorControl> ultimos_;
};

}  // namespace vtl

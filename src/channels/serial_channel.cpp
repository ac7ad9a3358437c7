// The serial channel: comm events, the printer's status bytes and the control lines.
#include "engine/prnport.h"

namespace vtl {

void clsPrnPort::AtenderEventosSerie() {
  // Comm events exist only on a serial port opened by the serial channel.
}

std::int32_t clsPrnPort::CommSetLine(std::int16_t&, bool&) {
  // Control lines exist only on a serial port opened by the serial channel.
  return 0;
}

}  // namespace vtl

// Opening the device behind the chosen port.
#include "engine/prnport.h"

namespace vtl {

void clsPrnPort::AbrirDispositivo() {
  // Port channels (serial, parallel) open devices by their port names; until one is chosen
  // there is nothing to open, and callers see the port as still closed.
}

}  // namespace vtl

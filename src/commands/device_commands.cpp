// Device-level methods beside plain printing. Only the paper cut produces bytes; the insertion,
// removal and bitmap methods are declared by the interface and have no effect on these printers.
#include "engine/prnport.h"

namespace vtl {

std::int32_t clsPrnPort::CutPaper(std::int32_t&) {
  // Through the ordinary queue, so the cut comes after everything printed before it.
  Imprimir(std::string("\x1b\x69", 2), false);
  return 0;
}

std::int32_t clsPrnPort::BeginInsertion(std::int32_t&) {
  return 0;
}
std::int32_t clsPrnPort::BeginRemoval(std::int32_t&) {
  return 0;
}

Variant clsPrnPort::SetBitmap(std::int32_t&, std::int32_t&, std::string&, std::int32_t&,
                              std::int32_t&) {
  // Logos are stored with UploadLogo; the file named here is never opened.
  return {};
}

Variant clsPrnPort::EndInsertion() {
  return {};
}
Variant clsPrnPort::EndRemoval() {
  return {};
}

}  // namespace vtl

// The status a serial printer sends back by itself once automatic status back is on: blocks of
// four bytes with fixed bits (the first has bit 4 set and bits 0, 1 and 7 clear, the other three
// have bits 4 and 7 clear), or, from printers that answer that way, single status bytes.
//
// Bytes come in reads of whatever the line delivered. The drawer and on-line state is taken from
// the first byte of each read; the printer's own error (off line) and paper-end state only from
// whole blocks. A block split over two reads is joined when the second read completes it
// exactly; its first byte then stands for the read. The reader keeps at most the three bytes of
// an unfinished block, whatever it is fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtl {

class LectorEstadoSerie {
 public:
  // The byte whose drawer (bit 2) and on-line (bit 5) bits a read stands for. A read always has
  // one: a status byte that actually came.
  unsigned char Leer(const unsigned char* bytes, std::size_t n);
  // What the last whole block said: the printer is off line (cover open, paper end, an error),
  // and its paper has run out.
  bool FueraDeLinea() const { return fueraDeLinea_; }
  bool SinPapel() const { return sinPapel_; }
  bool TapaAbierta() const { return tapa_; }
  // A new line or a new printer: nothing it said before counts.
  void Olvidar();

 private:
  void Bloque(const unsigned char* b);
  std::string resto_;
  bool fueraDeLinea_ = false;
  bool sinPapel_ = false;
  bool tapa_ = false;
};

}  // namespace vtl

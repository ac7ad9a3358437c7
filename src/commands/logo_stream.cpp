#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "base/escpos.h"
#include "commands/comandos.h"
#include "platform/files.h"

namespace vtl {
namespace {

constexpr std::int64_t kTamanoBuffer = 500001;  // indexes 0 to 500,000
constexpr std::size_t kMaxArchivo = 500000;

// Where the conversion cannot go on: an index off the buffers, an overflowing header field.
struct Fallo {};

// The conversion's working storage: fixed-size buffers whose every access is checked, so a
// hostile header can make the conversion fail but never read or write outside them.
class Buffer {
 public:
  Buffer() : bytes_(kTamanoBuffer, 0) {}
  std::uint8_t& operator[](std::int64_t i) {
    if (i < 0 || i >= kTamanoBuffer) throw Fallo{};
    return bytes_[static_cast<std::size_t>(i)];
  }
  void Limpiar() { std::fill(bytes_.begin(), bytes_.end(), 0); }
  std::uint8_t* data() { return bytes_.data(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct Conversion {
  Buffer archivo, filas, columnas, flujo;
  std::int64_t largoColumnas = 0;
  std::int64_t largoFlujo = 0;
  // Header of the logo being converted.
  std::int64_t tamano = 0, desplazamiento = 0, ancho = 0, alto = 0, largoFila = 0;
  std::int64_t x = 0, y = 0;

  void AgregarFlujo(std::uint8_t b) { flujo[largoFlujo++] = b; }

  // Four little-endian bytes as the format's 32-bit signed field; a value whose top byte has
  // the high bit set does not fit and stops the conversion.
  std::int64_t Largo(std::int64_t pos) {
    const std::int64_t v = archivo[pos] + archivo[pos + 1] * 256LL + archivo[pos + 2] * 65536LL +
                           archivo[pos + 3] * 16777216LL;
    if (v > 2147483647LL) throw Fallo{};
    return v;
  }

  // Rows top first, polarity applied, then every pixel past the width (row padding) blanked.
  void VoltearFilas(bool polaridad) {
    const std::int64_t d = tamano - desplazamiento;
    // With a row length of 0 every row lands on the same byte: one pass says it all, and a huge
    // height in a tiny file cannot keep the loop going for billions of rows.
    const std::int64_t pasadas = largoFila == 0 ? std::min<std::int64_t>(alto, 1) : alto;
    for (std::int64_t r = 0; r < pasadas; ++r) {
      const std::int64_t desde = tamano - (r + 1) * largoFila;
      for (std::int64_t i = 0; i <= largoFila; ++i) {
        const std::uint8_t b = archivo[desde + i];
        filas[r * largoFila + i] = polaridad ? static_cast<std::uint8_t>(~b) : b;
      }
    }
    if (d < 0) throw Fallo{};
    std::vector<std::uint8_t> copia(static_cast<std::size_t>(d) + 1);
    for (std::int64_t i = 0; i <= d; ++i) copia[static_cast<std::size_t>(i)] = filas[i];
    filas.Limpiar();
    std::int64_t pixel = 0;
    for (std::int64_t i = 0; i <= d; ++i) {
      std::uint8_t salida = 0;
      for (int k = 0; k < 8; ++k) {
        const bool dentro = pixel + k + 1 <= ancho;
        const bool bitCero = !(copia[static_cast<std::size_t>(i)] & (0x80 >> k));
        if (dentro && bitCero) salida = static_cast<std::uint8_t>(salida | (0x80 >> k));
      }
      filas[i] = salida;
      pixel += 8;
      if (pixel % 32 == 0 && pixel >= ancho) pixel = 0;
    }
  }

  // Dot columns left to right, each y bytes top to bottom, most significant bit on top.
  void TransponerColumnas() {
    columnas.Limpiar();
    largoColumnas = 0;
    // The column step keeps the row length in a byte: rows of 256 bytes or more wrap.
    const std::int64_t paso = largoFila % 256;
    for (std::int64_t c = 0; c < 8 * x; ++c) {
      const std::int64_t indice = c / 8;
      const std::uint8_t mascara = static_cast<std::uint8_t>(0x80 >> (c % 8));
      for (std::int64_t b = 0; b < y; ++b) {
        std::uint8_t salida = 0;
        for (int k = 0; k < 8; ++k) {
          if (filas[indice + paso * (8 * b + k)] & mascara) {
            salida = static_cast<std::uint8_t>(salida | (0x80 >> k));
          }
        }
        columnas[largoColumnas++] = salida;
      }
    }
  }
};

bool RutaUtil(const std::string& ruta) {
  if (ruta.empty() || ruta.back() == '\\' || ruta.back() == '/') return false;
  return platform::IsRegularFile(ruta);
}

}  // namespace

bool ConstruirFlujoLogos(std::vector<std::string>& rutas, std::string& flujo) {
  flujo.clear();
  if (rutas.empty()) return true;
  if (rutas.size() > 255) return false;  // the logo count is one byte
  for (auto& ruta : rutas) {
    if (!RutaUtil(ruta)) ruta.clear();
  }
  try {
    auto conv = std::make_unique<Conversion>();
    Conversion& c = *conv;
    bool polaridad = false;
    for (const auto& ruta : rutas) {
      if (!ruta.empty()) {
        std::string contenido;
        if (!platform::ReadSmallFile(ruta, kMaxArchivo, contenido)) return false;
        std::memcpy(c.archivo.data(), contenido.data(), contenido.size());
        c.tamano = c.Largo(2);
        c.desplazamiento = c.archivo[10] + c.archivo[11] * 256LL;
        if (c.desplazamiento > 32767) throw Fallo{};
        c.ancho = c.Largo(18);
        c.alto = c.Largo(22);
        polaridad = c.archivo[54] != 0;
      } else {
        for (int i = 0; i <= 10; ++i) c.archivo[i] = 0;
        c.tamano = 2;
        c.ancho = 1;
        c.alto = 1;
        c.desplazamiento = 0;
      }
      if (c.alto == 0) throw Fallo{};
      c.largoFila = (c.tamano - c.desplazamiento) / c.alto;
      c.x = (c.ancho + 7) / 8;
      c.y = (c.alto + 7) / 8;
      c.AgregarFlujo(static_cast<std::uint8_t>(c.x % 256));
      c.AgregarFlujo(static_cast<std::uint8_t>((c.x / 256) % 256));
      c.AgregarFlujo(static_cast<std::uint8_t>(c.y % 256));
      c.AgregarFlujo(static_cast<std::uint8_t>((c.y / 256) % 256));
      if (c.x / 256 > 255 || c.y / 256 > 255) throw Fallo{};
      c.VoltearFilas(polaridad);
      c.filas[c.tamano - c.desplazamiento] = 0;
      c.TransponerColumnas();
      for (std::int64_t i = 0; i < c.largoColumnas; ++i) c.AgregarFlujo(c.columnas[i]);
    }
    flujo.assign(escpos::kInicializar);
    flujo.append(std::begin(escpos::kDefinirImagenes), std::end(escpos::kDefinirImagenes));
    flujo += static_cast<char>(rutas.size());
    flujo.append(reinterpret_cast<const char*>(c.flujo.data()),
                 static_cast<std::size_t>(c.largoFlujo));
    flujo += '\0';
    flujo += escpos::kInicializar;
    return true;
  } catch (const Fallo&) {
    flujo.clear();
    return false;
  }
}

}  // namespace vtl

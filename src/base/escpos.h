// The ESC/POS vocabulary this library speaks: the commands it sends and the status bits it reads.
// One place for every byte, shared by the library and the virtual printer.
#pragma once

#include <cstdint>
#include <string_view>

namespace vtl::escpos {

using namespace std::string_view_literals;

// Commands.
inline constexpr std::string_view kInicializar = "\x1b@"sv;              // ESC @
inline constexpr std::string_view kCortar = "\x1bi"sv;                   // ESC i
inline constexpr std::string_view kModoDobleAltoYAncho = "\x1b!\x30"sv;  // ESC ! 0x30
inline constexpr std::string_view kModoLetraPequena = "\x1b!\x01"sv;     // ESC ! 1 (font B)
inline constexpr std::string_view kAvanzarYCortar = "\x1dVB\x00"sv;      // GS V 66 0
inline constexpr std::string_view kEstadoAutomatico = "\x1d\x61\x03"sv;  // GS a 3
inline constexpr std::string_view kEstadoCajon = "\x1dr\x02"sv;          // GS r 2
inline constexpr std::string_view kEstadoTiempoReal = "\x10\x04\x02"sv;  // DLE EOT 2
inline constexpr char kDefinirImagenes[] = {'\x1c', 'q'};                // FS q n ...
inline constexpr char kImprimirImagen[] = {'\x1c', 'p'};                 // FS p n 0

// DLE EOT 2 (off-line cause): bits 1 and 4 set and bits 0 and 7 clear mark a status byte.
inline constexpr std::uint8_t kTiempoRealMascara = 0x93;
inline constexpr std::uint8_t kTiempoRealFijo = 0x12;
inline constexpr std::uint8_t kTiempoRealTapa = 0x04;      // cover open
inline constexpr std::uint8_t kTiempoRealFinPapel = 0x20;  // printing stopped by paper end
inline constexpr std::uint8_t kTiempoRealError = 0x40;     // an error
// Some printers answer an error with one of these values instead.
inline constexpr std::uint8_t kErroresAntiguos[] = {12, 28, 56};

// Automatic status back: four bytes. The first has bit 4 set and bits 0, 1 and 7 clear; the
// other three have bits 4 and 7 clear.
inline constexpr std::uint8_t kAsbInicioMascara = 0x93;
inline constexpr std::uint8_t kAsbInicioFijo = 0x10;
inline constexpr std::uint8_t kAsbRestoMascara = 0x90;
inline constexpr std::uint8_t kAsbCajon = 0x04;         // first byte: drawer kick-out pin 3
inline constexpr std::uint8_t kAsbFueraDeLinea = 0x08;  // first byte: off line
inline constexpr std::uint8_t kAsbTapa = 0x20;          // first byte: cover open
inline constexpr std::uint8_t kAsbFinPapel = 0x0C;      // third byte: paper end

// The status byte a serial printer sends back, as hosts read it: bit 2 clear means the drawer is
// open, bit 5 set that the printer is off line.
inline constexpr std::uint8_t kBitCajonCerrado = 0x04;
inline constexpr std::uint8_t kBitFueraDeLinea = 0x20;

// A parallel or USB printer's status lines, as its port's status register or driver shows them.
inline constexpr std::uint8_t kLineaSinError = 0x08;
inline constexpr std::uint8_t kLineaSeleccionada = 0x10;
inline constexpr std::uint8_t kLineaSinPapel = 0x20;
inline constexpr std::uint8_t kLineaOcupada = 0x80;  // after the register's inversion of bit 7

}  // namespace vtl::escpos

// Spanish letters of the host's Windows character set to the bytes a code page 437 printer shows
// as the same letters. Capitals lose their accents: code page 437 has no accented capitals but É.
#include "commands/comandos.h"

namespace vtl {

std::string TraducirCaracter(const std::string& tmpCaracter) {
  if (tmpCaracter.size() != 1) return tmpCaracter;
  switch (static_cast<unsigned char>(tmpCaracter[0])) {
    case 0xE1:  // á
    case 0xE0:  // à
      return "\xA0";
    case 0xC1:  // Á
    case 0xC0:  // À
      return "A";
    case 0xE9:  // é
    case 0xE8:  // è
      return "\x82";
    case 0xC9:  // É
    case 0xC8:  // È
      return "E";
    case 0xED:  // í
    case 0xEC:  // ì
      return "\xA1";
    case 0xCD:  // Í
    case 0xCC:  // Ì
      return "I";
    case 0xF3:  // ó
    case 0xF2:  // ò
      return "\xA2";
    case 0xD3:  // Ó
    case 0xD2:  // Ò
      return "O";
    case 0xFA:  // ú
    case 0xF9:  // ù
      return "\xA3";
    case 0xDA:  // Ú
    case 0xD9:  // Ù
      return "U";
    case 0xD1:  // Ñ
      return "\xA5";
    case 0xF1:  // ñ
      return "\xA4";
    case 0xBA:  // º, shown as the degree sign
      return "\xF8";
    case 0xA6:  // ¦, shown as the light vertical line
      return "\xB3";
    default:
      return tmpCaracter;
  }
}

}  // namespace vtl

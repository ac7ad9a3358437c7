// The small text helpers every layer needs: ASCII case and blanks. Port names, settings texts
// and commands are ASCII; other bytes pass untouched.
#pragma once

#include <string>
#include <string_view>

namespace vtl {

inline char MayusculaAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string Mayusculas(std::string_view texto) {
  std::string s(texto);
  for (char& c : s) c = MayusculaAscii(c);
  return s;
}

// Equal but for the case of ASCII letters.
inline bool MayusculasIguales(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (MayusculaAscii(a[i]) != MayusculaAscii(b[i])) return false;
  }
  return true;
}

inline bool EsBlanco(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Without the blanks at either end.
inline std::string Recortar(std::string_view texto) {
  std::size_t a = 0, b = texto.size();
  while (a < b && EsBlanco(texto[a])) ++a;
  while (b > a && EsBlanco(texto[b - 1])) --b;
  return std::string(texto.substr(a, b - a));
}

// Without the spaces and tabs at either end (numbers and settings texts allow only these).
inline std::string RecortarEspacios(std::string_view texto) {
  std::size_t a = 0, b = texto.size();
  while (a < b && (texto[a] == ' ' || texto[a] == '\t')) ++a;
  while (b > a && (texto[b - 1] == ' ' || texto[b - 1] == '\t')) --b;
  return std::string(texto.substr(a, b - a));
}

}  // namespace vtl

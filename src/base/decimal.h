// Decimal numbers as hosts write them, read once for every layer that takes one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vtl {

inline bool EsDigito(char c) {
  return c >= '0' && c <= '9';
}

// A decimal number as written: its sign, its digits without the point, how many of them follow
// the point, and the power of ten after E or D.
struct Decimal {
  bool negativo = false;
  std::string digitos;
  long long decimales = 0;
  long long exponente = 0;
};

// "-12.5", " 3 ", "1E3", ".5"; nullopt when the text is not such a number.
inline std::optional<Decimal> LeerDecimal(std::string_view t) {
  std::size_t i = 0, n = t.size();
  while (i < n && (t[i] == ' ' || t[i] == '\t')) ++i;
  while (n > i && (t[n - 1] == ' ' || t[n - 1] == '\t')) --n;
  Decimal d;
  if (i < n && (t[i] == '+' || t[i] == '-')) d.negativo = t[i++] == '-';
  bool punto = false;
  for (; i < n && (EsDigito(t[i]) || (t[i] == '.' && !punto)); ++i) {
    if (t[i] == '.') {
      punto = true;
    } else {
      d.digitos += t[i];
      if (punto) ++d.decimales;
    }
  }
  if (d.digitos.empty()) return std::nullopt;
  if (i < n && (t[i] == 'E' || t[i] == 'e' || t[i] == 'D' || t[i] == 'd')) {
    ++i;
    bool negativo = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) negativo = t[i++] == '-';
    if (i >= n || !EsDigito(t[i])) return std::nullopt;
    for (; i < n && EsDigito(t[i]); ++i) {
      if (d.exponente < 100000) d.exponente = d.exponente * 10 + (t[i] - '0');
    }
    if (negativo) d.exponente = -d.exponente;
  }
  if (i != n) return std::nullopt;
  return d;
}

}  // namespace vtl

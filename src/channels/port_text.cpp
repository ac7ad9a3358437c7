#include "channels/port_text.h"

#include <limits>
#include <optional>

namespace vtl {

namespace {

constexpr std::int64_t kMaxUnits = std::numeric_limits<std::int64_t>::max();

bool Digit(char c) {
  return c >= '0' && c <= '9';
}

// A decimal number ("-12.5", " 3 ", "1E3", ".5") in currency units (value × 10000), rounded
// half to even; nullopt when the text is not such a number or the value does not fit.
std::optional<std::int64_t> Moneda(const std::string& t) {
  std::size_t i = 0, n = t.size();
  while (i < n && (t[i] == ' ' || t[i] == '\t')) ++i;
  while (n > i && (t[n - 1] == ' ' || t[n - 1] == '\t')) --n;
  bool negativo = false;
  if (i < n && (t[i] == '+' || t[i] == '-')) negativo = t[i++] == '-';
  std::string digitos;
  int decimales = 0;
  bool punto = false;
  for (; i < n && (Digit(t[i]) || (t[i] == '.' && !punto)); ++i) {
    if (t[i] == '.') {
      punto = true;
      continue;
    }
    digitos += t[i];
    if (punto) ++decimales;
  }
  if (digitos.empty()) return std::nullopt;
  long long exponente = 0;
  if (i < n && (t[i] == 'E' || t[i] == 'e' || t[i] == 'D' || t[i] == 'd')) {
    ++i;
    bool expNegativo = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) expNegativo = t[i++] == '-';
    if (i >= n || !Digit(t[i])) return std::nullopt;
    for (; i < n && Digit(t[i]); ++i) {
      if (exponente < 100000) exponente = exponente * 10 + (t[i] - '0');
    }
    if (expNegativo) exponente = -exponente;
  }
  if (i != n) return std::nullopt;

  // Drop leading zeros so the digit count says how large the number is.
  const std::size_t nz = digitos.find_first_not_of('0');
  if (nz == std::string::npos) return 0;
  digitos.erase(0, nz);
  const long long escala = exponente - decimales + 4;  // power of ten to reach currency units
  std::int64_t unidades = 0;
  if (escala >= 0) {
    if (static_cast<long long>(digitos.size()) + escala > 19) return std::nullopt;
    for (char c : digitos) {
      if (unidades > (kMaxUnits - (c - '0')) / 10) return std::nullopt;
      unidades = unidades * 10 + (c - '0');
    }
    for (long long k = 0; k < escala; ++k) {
      if (unidades > kMaxUnits / 10) return std::nullopt;
      unidades *= 10;
    }
  } else {
    const std::size_t corte = static_cast<std::size_t>(-escala);
    if (corte > digitos.size()) {
      // Below one unit: it rounds to 1 above half a unit, to 0 (even) at half or below.
      const std::string mitad = "5" + std::string(corte - 1, '0');
      const std::string relleno = std::string(corte - digitos.size(), '0') + digitos;
      unidades = relleno > mitad ? 1 : 0;
    } else {
      const std::string entera = digitos.substr(0, digitos.size() - corte);
      const std::string resto = digitos.substr(digitos.size() - corte);
      if (entera.size() > 19) return std::nullopt;
      for (char c : entera) {
        if (unidades > (kMaxUnits - (c - '0')) / 10) return std::nullopt;
        unidades = unidades * 10 + (c - '0');
      }
      const std::string mitad = "5" + std::string(corte - 1, '0');
      if (resto > mitad || (resto == mitad && (unidades % 2) == 1)) {
        if (unidades == kMaxUnits) return std::nullopt;
        ++unidades;
      }
    }
  }
  return negativo ? -unidades : unidades;
}

// Currency units to a Long, half to even.
std::optional<std::int32_t> ALong(std::int64_t unidades) {
  std::int64_t entero = unidades / 10000;
  const std::int64_t resto = unidades % 10000;
  const std::int64_t absResto = resto < 0 ? -resto : resto;
  if (absResto > 5000 || (absResto == 5000 && (entero % 2) != 0)) entero += resto < 0 ? -1 : 1;
  if (entero < std::numeric_limits<std::int32_t>::min() ||
      entero > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(entero);
}

}  // namespace

std::int64_t ValorNumerico(const std::string& texto) {
  std::string t = texto.substr(0, 14);
  // The library reads numbers with "." as the decimal separator, so a "," the host wrote as one
  // becomes ".".
  if (const std::size_t coma = t.find(','); coma != std::string::npos) t[coma] = '.';
  if (t.empty()) t = "0";
  if (t[0] == '.') t = "0" + t;
  return Moneda(t).value_or(0);
}

std::int32_t NumeroDePuerto(const std::string& texto) {
  const auto valor = ALong(ValorNumerico(texto));
  if (!valor) throw Error(6, "Overflow", "vtldllxt.clsPrnPort.NumeroDePuerto");
  return *valor;
}

void SepararHostPuerto(const std::string& texto, std::string& host, std::int32_t& puerto) {
  const std::size_t dos = texto.find(':');
  host = texto.substr(0, dos);
  if (dos == std::string::npos) return;
  const std::size_t fin = texto.find(':', dos + 1);
  const std::string pieza = texto.substr(dos + 1, fin == std::string::npos ? fin : fin - dos - 1);
  if (const auto unidades = Moneda(pieza)) {
    if (const auto valor = ALong(*unidades)) puerto = *valor;
  }
}

}  // namespace vtl

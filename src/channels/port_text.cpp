#include "channels/port_text.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "base/decimal.h"

namespace vtl {

namespace {

constexpr std::int64_t kMaxUnits = std::numeric_limits<std::int64_t>::max();

// Appends decimal digits to `unidades`; false when the value would not fit.
bool Acumular(std::string_view digitos, std::int64_t& unidades) {
  for (char c : digitos) {
    if (unidades > (kMaxUnits - (c - '0')) / 10) return false;
    unidades = unidades * 10 + (c - '0');
  }
  return true;
}

// Digits without leading zeros, scaled by 10^escala (escala < 0 cuts digits off), rounded half
// to even; nullopt when the value does not fit.
std::optional<std::int64_t> Escalar(const std::string& digitos, long long escala) {
  std::int64_t unidades = 0;
  if (escala >= 0) {
    if (static_cast<long long>(digitos.size()) + escala > 19) return std::nullopt;
    if (!Acumular(digitos, unidades)) return std::nullopt;
    for (long long k = 0; k < escala; ++k) {
      if (unidades > kMaxUnits / 10) return std::nullopt;
      unidades *= 10;
    }
    return unidades;
  }
  const auto corte = static_cast<std::size_t>(-escala);
  const std::string mitad = "5" + std::string(corte - 1, '0');
  if (corte > digitos.size()) {
    // Below one unit: it rounds to 1 above half a unit, to 0 (even) at half or below.
    const std::string relleno = std::string(corte - digitos.size(), '0') + digitos;
    return relleno > mitad ? 1 : 0;
  }
  const std::string_view entera = std::string_view(digitos).substr(0, digitos.size() - corte);
  const std::string_view resto = std::string_view(digitos).substr(digitos.size() - corte);
  if (entera.size() > 19 || !Acumular(entera, unidades)) return std::nullopt;
  if (resto > mitad || (resto == mitad && (unidades % 2) == 1)) {
    if (unidades == kMaxUnits) return std::nullopt;
    ++unidades;
  }
  return unidades;
}

// A decimal number in currency units (value × 10000), rounded half to even; nullopt when the
// text is not such a number or the value does not fit.
std::optional<std::int64_t> Moneda(const std::string& t) {
  std::optional<Decimal> d = LeerDecimal(t);
  if (!d) return std::nullopt;
  // Without leading zeros the digit count says how large the number is.
  const std::size_t nz = d->digitos.find_first_not_of('0');
  if (nz == std::string::npos) return 0;
  d->digitos.erase(0, nz);
  // The power of ten that reaches currency units.
  const std::optional<std::int64_t> unidades = Escalar(d->digitos, d->exponente - d->decimales + 4);
  if (!unidades) return std::nullopt;
  return d->negativo ? -*unidades : *unidades;
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

// Line settings written as text, as the mode command has always taken them: the key form
// "baud=9600 parity=N data=8 stop=1 ..." and the comma form "9600,n,8,1".
#include <cstdlib>
#include <string>
#include <vector>

#include "base/cadenas.h"
#include "platform/comm.h"
#include "platform/posix/objects.h"

namespace vtl::platform::detail {

namespace {

bool IsSpace(char ch) {
  return ch == ' ' || ch == '\t';
}

bool Digits(const std::string& s, unsigned long* out) {
  if (s.empty() || s.size() > 10 ||
      !std::all_of(s.begin(), s.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
    return false;
  }
  const unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<unsigned long>(v);
  return true;
}

// Speeds may be given by their first two digits, as the mode syntax has always allowed.
bool BaudText(const std::string& s, DCB& d) {
  unsigned long v = 0;
  if (!Digits(s, &v) || v == 0) return false;
  switch (v) {
    case 11:
      v = 110;
      break;
    case 15:
      v = 150;
      break;
    case 30:
      v = 300;
      break;
    case 60:
      v = 600;
      break;
    case 12:
      v = 1200;
      break;
    case 24:
      v = 2400;
      break;
    case 48:
      v = 4800;
      break;
    case 96:
      v = 9600;
      break;
    case 19:
      v = 19200;
      break;
    default:
      break;
  }
  d.BaudRate = static_cast<DWORD>(v);
  return true;
}

bool ParityText(const std::string& s, DCB& d) {
  static const std::string codes = "NOEMS";
  if (s.size() != 1 || codes.find(s[0]) == std::string::npos) return false;
  d.Parity = static_cast<BYTE>(codes.find(s[0]));
  SetBit(d, DCB_fParity, d.Parity != NOPARITY);
  return true;
}

bool DataText(const std::string& s, DCB& d) {
  unsigned long v = 0;
  if (!Digits(s, &v) || v < 5 || v > 8) return false;
  d.ByteSize = static_cast<BYTE>(v);
  return true;
}

bool StopText(const std::string& s, DCB& d) {
  if (s == "1") {
    d.StopBits = ONESTOPBIT;
  } else if (s == "1.5") {
    d.StopBits = ONE5STOPBITS;
  } else if (s == "2") {
    d.StopBits = TWOSTOPBITS;
  } else {
    return false;
  }
  return true;
}

// Without flow keys a line has no flow control, DTR and RTS simply on.
void NoFlow(DCB& d) {
  d.fBitFields &=
      ~(DCB_fOutxCtsFlow | DCB_fOutxDsrFlow | DCB_fOutX | DCB_fInX | DCB_fDsrSensitivity);
  SetField(d, DCB_fDtrControlShift, DTR_CONTROL_ENABLE);
  SetField(d, DCB_fRtsControlShift, RTS_CONTROL_ENABLE);
  if (d.XonChar == d.XoffChar) {
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
  }
}

// On/off keys accept nothing else.
bool OnOff(const std::string& value, bool& on) {
  on = value == "ON";
  return on || value == "OFF";
}

// One "key=value" of the key form. Keys a terminal cannot honour (DSR flow and sensitivity, DTR
// handshake, RTS toggle) fail with ERROR_NOT_SUPPORTED rather than being accepted and ignored.
bool DcbKey(const std::string& key, const std::string& value, DCB& d, DWORD* error) {
  bool on = false;
  if (key == "BAUD") return BaudText(value, d);
  if (key == "PARITY") return ParityText(value, d);
  if (key == "DATA") return DataText(value, d);
  if (key == "STOP") return StopText(value, d);
  if (key == "TO") return OnOff(value, on);  // time-outs are not part of a DCB
  if (key == "XON") {
    if (!OnOff(value, on)) return false;
    SetBit(d, DCB_fOutX, on);
    SetBit(d, DCB_fInX, on);
    return true;
  }
  if (key == "OCTS") {
    if (!OnOff(value, on)) return false;
    SetBit(d, DCB_fOutxCtsFlow, on);
    if (on) SetField(d, DCB_fRtsControlShift, RTS_CONTROL_HANDSHAKE);
    return true;
  }
  if (key == "ODSR" || key == "IDSR") {
    if (value == "ON") *error = ERROR_NOT_SUPPORTED;
    return value == "OFF";
  }
  if (key == "DTR") {
    if (value == "HS") *error = ERROR_NOT_SUPPORTED;
    if (!OnOff(value, on)) return false;
    SetField(d, DCB_fDtrControlShift, on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE);
    return true;
  }
  if (key == "RTS") {
    if (value == "TG") *error = ERROR_NOT_SUPPORTED;
    if (value == "HS") {
      SetField(d, DCB_fRtsControlShift, RTS_CONTROL_HANDSHAKE);
      return true;
    }
    if (!OnOff(value, on)) return false;
    SetField(d, DCB_fRtsControlShift, on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    SetBit(d, DCB_fOutxCtsFlow, false);
    return true;
  }
  return false;
}

// "baud=9600 parity=N data=8 stop=1 [to=..] [xon=..] [octs=..] [dtr=..] [rts=..] [odsr=off]
// [idsr=off]".
bool DcbKeys(const std::string& text, DCB& d, DWORD* error) {
  bool baud = false, stop = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    if (pos >= text.size()) break;
    std::size_t end = pos;
    while (end < text.size() && !IsSpace(text[end])) ++end;
    const std::string item = text.substr(pos, end - pos);
    pos = end;
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    const std::string key = item.substr(0, eq);
    if (!DcbKey(key, item.substr(eq + 1), d, error)) return false;
    baud = baud || key == "BAUD";
    stop = stop || key == "STOP";
  }
  // At 110 baud the line has always used two stop bits unless told otherwise.
  if (baud && !stop && d.BaudRate == 110) d.StopBits = TWOSTOPBITS;
  return true;
}

// "9600,n,8,1[,x|,p]".
bool DcbCommas(const std::string& text, DCB& d) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t comma = text.find(',', pos);
    parts.push_back(RecortarEspacios(
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
    if (comma == std::string::npos || parts.size() > 5) break;
    pos = comma + 1;
  }
  if (parts.size() < 4 || parts.size() > 5) return false;
  if (!BaudText(parts[0], d) || !ParityText(parts[1], d) || !DataText(parts[2], d) ||
      !StopText(parts[3], d)) {
    return false;
  }
  if (parts.size() == 4) return true;
  if (parts[4] == "X") {
    SetBit(d, DCB_fOutX, true);
    SetBit(d, DCB_fInX, true);
    return true;
  }
  if (parts[4] == "P") {
    // Hardware handshake; DSR flow has no terminal equivalent and is left off.
    SetBit(d, DCB_fOutxCtsFlow, true);
    SetField(d, DCB_fRtsControlShift, RTS_CONTROL_HANDSHAKE);
    return true;
  }
  return false;
}

// Either form, after an optional "COMn:". `out` is written only on success.
bool ParseDcbTextImpl(const std::string& original, DCB& out, DWORD* error) {
  *error = ERROR_INVALID_PARAMETER;
  std::string text = RecortarEspacios(Mayusculas(original));
  if (text.rfind("COM", 0) == 0) {
    const std::size_t colon = text.find(':');
    unsigned long n = 0;
    if (colon != std::string::npos && Digits(text.substr(3, colon - 3), &n)) {
      text = RecortarEspacios(text.substr(colon + 1));
    }
  }
  if (text.empty()) return false;
  DCB d = out;
  NoFlow(d);
  const bool valido =
      text.find('=') != std::string::npos ? DcbKeys(text, d, error) : DcbCommas(text, d);
  if (!valido) return false;
  d.DCBlength = sizeof(DCB);
  d.fBitFields |= DCB_fBinary;
  out = d;
  *error = ERROR_SUCCESS;
  return true;
}
}  // namespace

bool ParseDcbText(const char* definition, DCB& dcb, DWORD* error) {
  return ParseDcbTextImpl(definition ? definition : "", dcb, error);
}

}  // namespace vtl::platform::detail

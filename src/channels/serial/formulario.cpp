#include "channels/serial/formulario.h"

#include <memory>

#include "platform/comm.h"

namespace vtl {

using namespace platform;

namespace {

ValorControl VLong(std::int32_t v) {
  return v;
}
ValorControl VBool(bool v) {
  return v;
}
ValorControl VText(std::string v) {
  return v;
}

bool AsLong(const ValorControl& v, std::int32_t* out) {
  if (auto p = std::get_if<std::int32_t>(&v)) return *out = *p, true;
  return false;
}

}  // namespace

clsControlSerie::clsControlSerie() {
  props_[kCommPort] = VLong(1);
  props_[kSettings] = VText("9600,n,8,1");
  props_[kInBufferSize] = VLong(1024);
  props_[kOutBufferSize] = VLong(512);
  props_[kRThreshold] = VLong(0);
  props_[kSThreshold] = VLong(0);
  props_[kHandshaking] = VLong(eHSKNone);
  for (int b : {kDTREnable, kRTSEnable, kNullDiscard, kEOFEnable, kBinaryInput}) {
    props_[b] = VBool(false);
  }
  props_[kPortOpen] = VBool(false);
}

clsControlSerie::~clsControlSerie() {
  Close();
}

std::int32_t clsControlSerie::Long(int dispid) const {
  std::int32_t v = 0;
  auto it = props_.find(dispid);
  if (it != props_.end()) AsLong(it->second, &v);
  return v;
}

bool clsControlSerie::Bool(int dispid) const {
  auto it = props_.find(dispid);
  if (it == props_.end()) return false;
  if (auto p = std::get_if<bool>(&it->second)) return *p;
  return false;
}

ValorControl clsControlSerie::Get(int dispid) const {
  if (dispid == kPortOpen) return VBool(handle_ != 0);
  auto it = props_.find(dispid);
  return it == props_.end() ? ValorControl{} : it->second;
}

bool clsControlSerie::Put(int dispid, const ValorControl& value) {
  const bool open = handle_ != 0;
  std::int32_t n = 0;
  switch (dispid) {
    case kSettings: {
      auto text = std::get_if<std::string>(&value);
      DCB probe;
      if (!text || !BuildCommDCBA(text->c_str(), &probe) || text->find('=') != std::string::npos) {
        return false;
      }
      return PonerLinea(kSettings, value);
    }
    case kCommPort:
    case kInBufferSize:
    case kOutBufferSize:
      // Fixed while the port is open.
      if (open || !AsLong(value, &n) || n < 1) return false;
      props_[dispid] = VLong(n);
      return true;
    case kRThreshold:
    case kSThreshold:
      if (!AsLong(value, &n) || n < 0) return false;
      props_[dispid] = VLong(n);
      return true;
    case kHandshaking:
      if (!AsLong(value, &n) || n < eHSKNone || n > eHSKSoftwareHardware) return false;
      return PonerLinea(kHandshaking, VLong(n));
    case kDTREnable:
    case kRTSEnable:
    case kNullDiscard:
    case kEOFEnable:
    case kBinaryInput:
      return PonerInterruptor(dispid, value);
    case kPortOpen: {
      auto b = std::get_if<bool>(&value);
      if (!b) return false;
      if (*b == open) return !*b;  // opening an open port is an error; closing a closed one not
      if (*b) return Open();
      Close();
      return true;
    }
    case kOutput: {
      auto text = std::get_if<std::string>(&value);
      if (!text || !open) return false;
      DWORD written = 0;
      return WriteFile(handle_, text->data(), static_cast<DWORD>(text->size()), &written,
                       nullptr) != FALSE;
    }
    default:
      return false;
  }
}

bool clsControlSerie::PonerLinea(int dispid, const ValorControl& value) {
  // On an open port the line takes it at once; a line that refuses keeps the value it had.
  const ValorControl before = props_[dispid];
  props_[dispid] = value;
  if (handle_ != 0 && !ApplyLine()) {
    props_[dispid] = before;
    return false;
  }
  return true;
}

bool clsControlSerie::PonerInterruptor(int dispid, const ValorControl& value) {
  auto b = std::get_if<bool>(&value);
  if (!b) return false;
  props_[dispid] = value;
  if (handle_ == 0) return true;
  if (dispid == kDTREnable) EscapeCommFunction(handle_, *b ? SETDTR : CLRDTR);
  // Under hardware handshake RTS belongs to the line.
  if (dispid == kRTSEnable && !(Long(kHandshaking) & eHSKHardware)) {
    EscapeCommFunction(handle_, *b ? SETRTS : CLRRTS);
  }
  return true;
}

bool clsControlSerie::Open() {
  const std::string name = "\\\\.\\COM" + std::to_string(Long(kCommPort));
  HANDLE h =
      CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
  if (h == INVALID_HANDLE_VALUE || h == 0) return false;
  handle_ = h;
  SetupComm(handle_, static_cast<DWORD>(Long(kInBufferSize)),
            static_cast<DWORD>(Long(kOutBufferSize)));
  // Output goes out at once or fails within two seconds; input is never waited for.
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = 0xFFFFFFFFu;
  t.WriteTotalTimeoutConstant = 2000;
  SetCommTimeouts(handle_, &t);
  // The port is open even when the line refuses these settings (a speed it cannot do); it then
  // keeps the settings it had.
  ApplyLine();
  return true;
}

void clsControlSerie::Close() {
  if (handle_) CloseHandle(handle_);
  handle_ = 0;
}

bool clsControlSerie::ApplyLine() {
  DCB dcb;
  if (!GetCommState(handle_, &dcb)) return false;
  const auto* settings = std::get_if<std::string>(&props_[kSettings]);
  if (!settings || !BuildCommDCBA(settings->c_str(), &dcb)) return false;
  const std::int32_t hs = Long(kHandshaking);
  dcb.fBitFields &= ~(DCB_fOutxCtsFlow | DCB_fOutxDsrFlow | DCB_fOutX | DCB_fInX |
                      (3u << DCB_fDtrControlShift) | (3u << DCB_fRtsControlShift));
  dcb.fBitFields |= DCB_fBinary;
  dcb.fBitFields |= (Bool(kDTREnable) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE)
                    << DCB_fDtrControlShift;
  if (hs & eHSKHardware) {
    dcb.fBitFields |= DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift);
  } else {
    dcb.fBitFields |= (Bool(kRTSEnable) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE)
                      << DCB_fRtsControlShift;
  }
  if (hs & eHSKSoftware) {
    dcb.fBitFields |= DCB_fOutX | DCB_fInX;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
  }
  return SetCommState(handle_, &dcb) != FALSE;
}

frmInitComm& frmInitComm::Instance() {
  // One form per host thread, as a hidden form belongs to the thread that created it: ports on
  // other threads never touch its settings.
  static thread_local frmInitComm form;
  return form;
}

void frmInitComm::SetCOmmSettings(std::int32_t& tmpPuerto, std::int32_t& tmpVelocidad,
                                  std::int32_t& tmpBuff, bool& tmpAbrioPuerto,
                                  bool& tmpControlDeFlujo, std::int32_t& tmpAdvancedHandshake) {
  // Each step stands alone: one the control refuses is skipped and the next one runs.
  auto MSComm1 = std::make_unique<clsControlSerie>();
  using C = clsControlSerie;
  MSComm1->Put(C::kSettings, VText(std::to_string(tmpVelocidad) + ",n,8,1"));
  MSComm1->Put(C::kCommPort, VLong(tmpPuerto > 0 ? tmpPuerto : 1));
  MSComm1->Put(C::kOutBufferSize, VLong(tmpBuff > 512 ? tmpBuff : 512));
  MSComm1->Put(C::kInBufferSize, VLong(512));
  MSComm1->Put(C::kRThreshold, VLong(1));
  MSComm1->Put(C::kSThreshold, VLong(1));
  if (tmpControlDeFlujo) {
    for (int id : {C::kDTREnable, C::kRTSEnable, C::kNullDiscard, C::kEOFEnable, C::kBinaryInput}) {
      MSComm1->Put(id, VBool(true));
    }
  } else {
    for (int id : {C::kEOFEnable, C::kDTREnable, C::kRTSEnable, C::kNullDiscard, C::kBinaryInput}) {
      MSComm1->Put(id, VBool(false));
    }
  }
  MSComm1->Put(C::kPortOpen, VBool(true));
  const ValorControl abierto = MSComm1->Get(C::kPortOpen);
  tmpAbrioPuerto = std::holds_alternative<bool>(abierto) && std::get<bool>(abierto);
  MSComm1->Put(C::kOutput, VText(std::string(2, '\0')));
  const std::int32_t handshake = tmpAdvancedHandshake >= 0
                                     ? tmpAdvancedHandshake
                                     : (tmpControlDeFlujo ? eHSKHardware : eHSKSoftware);
  MSComm1->Put(C::kHandshaking, VLong(handshake));
  MSComm1->Put(C::kPortOpen, VBool(false));
  ultimos_ = MSComm1->Properties();
  MSComm1.reset();
}

}  // namespace vtl

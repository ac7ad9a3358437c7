#include "net/modsocket.h"

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "engine/types.h"
#include "net/socket.h"

namespace vtl::ModSocket {

using namespace platform;

namespace {

// The library's module name, which prefixes the registered message names.
constexpr const char* kModulo = "vtldllxt";
constexpr int kTamanoHostEnt = MAXGETHOSTSTRUCT;

// A pending host look-up: the object that asked, and the block Winsock fills in.
struct Resolucion {
  clsSocket* socket = nullptr;
  std::vector<char> bloque;
};

thread_local HWND m_hSocketWindow = 0;
thread_local LONG_PTR m_lngPrevWndProc = 0;
thread_local UINT m_lngMsgSocket = 0;
thread_local UINT m_lngMsgResolve = 0;
thread_local std::map<SOCKET, clsSocket*> m_sockets;
thread_local std::map<HANDLE, Resolucion> m_resoluciones;
thread_local bool m_blnWinsockStarted = false;
thread_local std::int32_t m_lngMaxUdpDatagram = 0;
thread_local ErrorRecord m_UltimoError;

void Registrar(std::int32_t number, std::string description, std::string source) {
  m_UltimoError = ErrorRecord{number, std::move(description), std::move(source)};
}

// The window lives as long as a socket or a look-up may still post to it.
void SoltarVentanaSiSobra() {
  if (m_sockets.empty() && m_resoluciones.empty()) DestroySocketWindow();
}

// A pointer read from a host entry is used only if it points inside the block it came from.
bool Dentro(const char* block, const void* p, std::size_t bytes) {
  const auto* c = static_cast<const char*>(p);
  return c >= block && c + bytes <= block + kTamanoHostEnt;
}

LRESULT AtenderResolucion(WPARAM wParam, LPARAM lParam) {
  const auto task = static_cast<HANDLE>(wParam);
  const auto error = static_cast<std::int16_t>(HIWORD(lParam));
  auto it = m_resoluciones.find(task);
  if (it == m_resoluciones.end()) return 0;
  // Everything the object needs is copied out first: its handler may destroy the window.
  const Resolucion r = std::move(it->second);
  m_resoluciones.erase(it);
  std::uint32_t direccion = 0;
  std::string nombre;
  if (error == 0 && r.bloque.size() >= sizeof(HOSTENT)) {
    const char* p = r.bloque.data();
    HOSTENT he;
    std::memcpy(&he, p, sizeof(he));
    if (he.h_addr_list && Dentro(p, he.h_addr_list, sizeof(char*))) {
      char* primera = nullptr;
      std::memcpy(&primera, he.h_addr_list, sizeof(primera));
      if (primera && Dentro(p, primera, 4)) std::memcpy(&direccion, primera, 4);
    }
    if (he.h_name && Dentro(p, he.h_name, 1)) {
      nombre = StringFromAnsiPointer(he.h_name,
                                     static_cast<std::size_t>(p + kTamanoHostEnt - he.h_name));
    }
  }
  if (!r.socket) return 0;
  if (auto vivo = r.socket->weak_from_this().lock()) {
    if (error != 0) {
      vivo->PostGetHostEvent(0, 0, "", error);
    } else {
      vivo->PostGetHostEvent(static_cast<std::int32_t>(task), direccion, nombre, 0);
    }
  }
  return 0;
}

}  // namespace

const ErrorRecord& LastError() {
  return m_UltimoError;
}

std::int32_t InitWinsockService() {
  if (m_blnWinsockStarted) return m_lngMaxUdpDatagram;
  WSADATA data;
  const int rc = WSAStartup(0x0101, &data);
  if (rc != 0) {
    std::string texto;
    if (rc == 10091) {
      texto = "The underlying network subsystem is not ready for network communication.";
    } else if (rc == 10092) {
      texto =
          "The version of Windows Sockets API support requested is not provided by this "
          "particular Windows Sockets implementation.";
    } else if (rc == 10022) {
      texto =
          "The Windows Sockets version specified by the application is not supported by this DLL.";
    }
    throw Error(rc, texto, "MSocketSupport.InitWinsockService");
  }
  m_blnWinsockStarted = true;
  m_lngMaxUdpDatagram = static_cast<std::int32_t>(data.iMaxUdpDg);
  m_lngMsgResolve = RegisterWindowMessageA((std::string(kModulo) + ".WMSock_Resolve").c_str());
  m_lngMsgSocket = RegisterWindowMessageA((std::string(kModulo) + ".WMSock_MSG").c_str());
  return m_lngMaxUdpDatagram;
}

void CleanupWinsockService(bool force) {
  // Forced, the registry is emptied; otherwise the service stays while sockets use it.
  if (force) m_sockets.clear();
  if (m_sockets.empty() && m_blnWinsockStarted) {
    WSACleanup();
    m_blnWinsockStarted = false;
  }
}

bool RegisterSocket(SOCKET handle, clsSocket* socket, bool skipSelect) {
  if (!m_hSocketWindow) m_hSocketWindow = CreateSocketWindow();
  if (!m_hSocketWindow) {
    Registrar(10004, "The operation was canceled.", "MSocketSupport.RegisterSocket");
    return false;
  }
  m_sockets[handle] = socket;
  if (!skipSelect) {
    if (WSAAsyncSelect(handle, m_hSocketWindow, m_lngMsgSocket,
                       FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE) == SOCKET_ERROR) {
      const int e = WSAGetLastError();
      Registrar(e, GetWinsockErrorText(e), "MSocketSupport.RegisterSocket");
      return false;
    }
  }
  return true;
}

bool UnregisterSocket(SOCKET handle) {
  if (handle == INVALID_SOCKET || !m_sockets.contains(handle)) return false;
  m_sockets.erase(handle);
  SoltarVentanaSiSobra();
  return true;
}

HANDLE ResolveHostAsync(const std::string& host, clsSocket* socket) {
  if (!m_hSocketWindow) m_hSocketWindow = CreateSocketWindow();
  std::vector<char> bloque(kTamanoHostEnt);
  const HANDLE task = WSAAsyncGetHostByName(m_hSocketWindow, m_lngMsgResolve, host.c_str(),
                                            bloque.data(), kTamanoHostEnt);
  if (task == 0) {
    const int e = WSAGetLastError();
    Registrar(e, GetWinsockErrorText(e), "MSocketSupport.ResolveHostAsync");
    SoltarVentanaSiSobra();
    return 0;
  }
  // The block's storage does not move with the vector: Winsock keeps writing where it was told.
  m_resoluciones[task] = Resolucion{socket, std::move(bloque)};
  return task;
}

HWND CreateSocketWindow() {
  if (m_hSocketWindow) DestroySocketWindow();
  m_hSocketWindow = CreateWindowExA(0, "STATIC", "SOCKET_WINDOW", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  if (m_hSocketWindow) {
    m_lngPrevWndProc =
        SetWindowLongA(m_hSocketWindow, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(&SocketWindowProc));
  }
  return m_hSocketWindow;
}

bool DestroySocketWindow() {
  // Look-ups still pending have no window to finish on: cancelled, so nothing writes into their
  // blocks once these are gone.
  for (const auto& [task, r] : m_resoluciones) WSACancelAsyncRequest(task);
  m_resoluciones.clear();
  if (m_hSocketWindow && m_lngPrevWndProc) {
    SetWindowLongA(m_hSocketWindow, GWL_WNDPROC, m_lngPrevWndProc);
    DestroyWindow(m_hSocketWindow);
  }
  m_hSocketWindow = 0;
  m_lngPrevWndProc = 0;
  return true;
}

LRESULT SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    if (message == m_lngMsgSocket) {
      const auto it = m_sockets.find(static_cast<SOCKET>(wParam));
      if (it == m_sockets.end()) return 0;
      auto vivo = it->second->weak_from_this().lock();
      if (!vivo) return 0;
      bool repost = false;
      vivo->PostSocketEvent(static_cast<std::int16_t>(LOWORD(lParam)),
                            static_cast<std::int16_t>(HIWORD(lParam)), repost);
      if (repost) PostMessageA(window, message, wParam, lParam);
      return 1;
    }
    if (message == m_lngMsgResolve) return AtenderResolucion(wParam, lParam);
  } catch (...) {
    return 0;
  }
  return CallWindowProcA(m_lngPrevWndProc, window, message, wParam, lParam);
}

std::string GetWinsockErrorText(std::int32_t number) {
  switch (number) {
    case 10004:
      return "Llamada a funcion interrumpida.";
    case 10013:
      return "Permiso denegado.";
    case 10014:
      return "Direccion incorrecta.";
    case 10022:
      return "Argumento invalido.";
    case 10024:
      return "Demasiados archivos abiertos.";
    case 10035:
      return "Recurso temporalmente inaccesible.";
    case 10036:
      return "Operacion enm proceso ahora.";
    case 10037:
      return "Operacion en proceso.";
    case 10038:
      return "Operacion de socket en un no-Socket.";
    case 10039:
      return "Direccion destino requerida.";
    case 10040:
      return "Mensaje demasiado largo.";
    case 10041:
      return "Protocolo incorrecto apara este socket.";
    case 10042:
      return "Option no admitida por el protocolo.";
    case 10043:
      return "Protocolo no soportado.";
    case 10044:
      return "Tipo de socket no soportado.";
    case 10045:
      return "Operacion no soportada.";
    case 10046:
      return "FAmilia de protocolos no soportada.";
    case 10047:
      return "DIreccion no admitida en este protocolo.";
    case 10048:
      return "Direccion en uso.";
    case 10049:
      return "Imposible asignar la direccion pedida.";
    case 10050:
      return "Red apagada.";
    case 10051:
      return "REd inaccesible.";
    case 10052:
      return "La Red finalizo la conexion.";
    case 10053:
      return "El software causo la desconexion .";
    case 10054:
      return "Conexion reseteada al otro extremo.";
    case 10055:
      return "Sin espacio de buffer.";
    case 10056:
      return "Socket ya estaba conectado.";
    case 10057:
      return "Socket no esta conectado.";
    case 10058:
      return "Imposible enviar con socket desconectado.";
    case 10060:
      return "Conexion fuera de tiempo.";
    case 10061:
      return "Conexion denegada.";
    case 10064:
      return "Equipo apagado.";
    case 10065:
      return "No existe ruta al equipo.";
    case 10067:
      return "DEmasiados procesos.";
    case 10091:
      return "Subsistema de red inexistente.";
    case 10092:
      return "version Winsock.dll fuera de rango.";
    case 10093:
      return "WSAStartup aun sin completar.";
    case 10101:
      return "FInalizacion de gracia en progreso.";
    case 10107:
      return "Lllamada al sistema fallida.";
    case 10109:
      return "Tipo de clase no encontrada.";
    case 11001:
      return "Equipo no encontrado.";
    case 11002:
      return "Equipo no autoritativo no encontrado.";
    case 11003:
      return "Este 3es un error irrecuperable.";
    case 11004:
      return "Nombre valido pero sin datos del tipo pedido.";
    default:
      return "Error desconocido.";
  }
}

std::string StringFromAnsiPointer(const char* text, std::size_t maxLength) {
  if (!text) return {};
  return std::string(text, ::strnlen(text, maxLength));
}

std::int16_t UnsignedToInteger(std::int32_t value) {
  if (value > 65535 || value < -32768)
    throw Error(6, "Overflow", "MSocketSupport.UnsignedToInteger");
  return static_cast<std::int16_t>(value < 32768 ? value : value - 65536);
}

std::int32_t IntegerToUnsigned(std::int16_t value) {
  return value < 0 ? value + 65536 : value;
}

void ValueToBytes(const SocketValue& value, std::string& out) {
  switch (value.varType) {
    case SocketValue::vtByte:
    case SocketValue::vtInteger:
    case SocketValue::vtBoolean:
    case SocketValue::vtLong:
    case SocketValue::vtSingle:
    case SocketValue::vtDouble:
    case SocketValue::vtCurrency:
    case SocketValue::vtDate:
    case SocketValue::vtString:
    case SocketValue::vtByteArray:
      out = value.image;
      break;
    default:
      break;
  }
}

void Forget(const clsSocket* socket) {
  std::erase_if(m_sockets, [&](const auto& e) { return e.second == socket; });
  // Its look-ups would finish for nobody: cancelled, so the window can go too.
  std::erase_if(m_resoluciones, [&](const auto& e) {
    if (e.second.socket != socket) return false;
    WSACancelAsyncRequest(e.first);
    return true;
  });
  SoltarVentanaSiSobra();
}

HWND SocketWindow() {
  return m_hSocketWindow;
}
UINT MsgSocket() {
  return m_lngMsgSocket;
}
UINT MsgResolve() {
  return m_lngMsgResolve;
}
bool WinsockStarted() {
  return m_blnWinsockStarted;
}
std::size_t RegistryCount() {
  return m_sockets.size();
}
bool HasSocket(SOCKET handle) {
  return m_sockets.contains(handle);
}
std::size_t PendingLookUps() {
  return m_resoluciones.size();
}

}  // namespace vtl::ModSocket

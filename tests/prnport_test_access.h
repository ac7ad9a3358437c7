// Test-only access to a printer port's send loop and channel: a device put behind a port as an
// open serial port of a ready printer, and the state the tests read or set. Never part of the
// library.
#pragma once

#include <memory>
#include <string>

#include "channels/network/canal_red.h"
#include "channels/parallel/canal_paralelo.h"
#include "channels/serial/canal_serie.h"
#include "channels/spooler/canal_cola.h"
#include "net/socket.h"
#include "objects/prnport.h"

namespace vtl {

// A serial channel on a device the test opened itself: the printer counts as ready, and the
// status-back request as made, so the send loop's own writes are all there is.
class CanalSeriePrueba : public CanalSerie {
 public:
  CanalSeriePrueba(BucleEnvio& bucle, platform::HANDLE handle, const std::string& nombre,
                   MemoriaSerie& memoria)
      : CanalSerie(bucle, nombre, 0, memoria), adoptado_(handle) {}
  bool listo = true;
  // The device becomes the open port as a finished opening leaves it: no initialisation written,
  // no status reported yet.
  void Adoptar() {
    handle_ = adoptado_;
    adoptado_ = 0;
  }

 protected:
  void AbrirDispositivo() override {
    // The device the test gave comes first; once it is gone, the port opens by its name.
    if (adoptado_ != 0) {
      handle_ = adoptado_;
      adoptado_ = 0;
      return;
    }
    CanalSerie::AbrirDispositivo();
  }
  Lectura LeerEstado() override {
    Lectura l;
    l.ocupado = !listo;
    l.correcto = listo;
    return l;
  }
  void AtenderEventos() override {}
  bool EsperaAlAbrir() const override { return false; }

 private:
  platform::HANDLE adoptado_;
};

struct PrnPortTestAccess {
  static MemoriaSerie& Memoria() {
    static thread_local MemoriaSerie memoria;
    return memoria;
  }
  // Makes `handle` the object's open port, as a successful opening would leave it.
  // `nombre` is what the port opens again after losing the device.
  static void AttachPort(clsPrnPort& p, platform::HANDLE handle, eTiposDepuerto, std::int32_t,
                         const std::string& nombre = "") {
    BucleEnvio& b = p.Bucle();
    auto canal = std::make_shared<CanalSeriePrueba>(b, handle, nombre, Memoria());
    b.Usar(canal);
    canal->Adoptar();
    b.EsperandoRespuesta(false);
  }
  static std::shared_ptr<CanalSeriePrueba> Prueba(clsPrnPort& p) {
    return std::dynamic_pointer_cast<CanalSeriePrueba>(p.CanalActual());
  }
  static void SetReady(clsPrnPort& p, bool listo) {
    if (auto c = Prueba(p)) c->listo = listo;
  }
  static void SetUploading(clsPrnPort& p, bool uploading, bool lento) {
    p.Bucle().uploading_ = uploading;
    p.Bucle().uploadLento_ = lento;
  }
  static void SetBaudios(clsPrnPort& p, std::int32_t baudios) {
    p.Bucle().ajustes().baudios = baudios;
  }
  static void SetOutputID(clsPrnPort& p, std::int32_t id) {
    p.Bucle().outputID_ = id;
    p.Bucle().informadoID_ = std::min(p.Bucle().informadoID_, id);
  }
  static platform::HANDLE Handle(const clsPrnPort& p) {
    auto c = p.CanalActual();
    return c ? c->Handle() : 0;
  }
  static std::shared_ptr<CanalDispositivo> Dispositivo(const clsPrnPort& p) {
    return std::dynamic_pointer_cast<CanalDispositivo>(p.CanalActual());
  }
  static std::int32_t Estado(const clsPrnPort& p) {
    if (auto d = Dispositivo(p)) return d->EstadoEnvio();
    // The other channels keep no send state of their own: the error the host was told.
    return const_cast<clsPrnPort&>(p).Bucle().InformadoError() ? 2 : 0;
  }
  static std::string Buffer(clsPrnPort& p) { return p.Bucle().Salida().str(); }
  static const std::string& Cola(clsPrnPort& p) { return p.Bucle().Cola(); }
  static std::int32_t TimerInterval(clsPrnPort& p) { return p.Bucle().timer_->Interval(); }
  static const platform::OVERLAPPED& OvlEscritura(const clsPrnPort& p) {
    return Dispositivo(p)->ovlEscritura_;
  }
  static bool Ready(const clsPrnPort& p) {
    auto s = std::dynamic_pointer_cast<CanalSerie>(p.CanalActual());
    return s && s->Listo();
  }
  static std::string NombrePuerto(const clsPrnPort& p) {
    if (auto d = Dispositivo(p)) return d->Nombre();
    if (auto r = Red(p)) return r->Host();
    if (auto c = std::dynamic_pointer_cast<CanalCola>(p.CanalActual())) return c->Cola();
    return "";
  }
  static std::int32_t NumeroPuerto(const clsPrnPort& p) {
    if (auto d = Dispositivo(p)) return d->Numero();
    if (auto r = Red(p)) return r->Puerto();
    return -1;
  }
  static std::int32_t TipoPuerto(const clsPrnPort& p) { return p.TipoPuerto(); }
  static bool ReaperturaPermitida(clsPrnPort& p) { return p.Bucle().ajustes().reaperturaPermitida; }
  // What the device itself was given, not the channel's copy.
  static platform::COMMTIMEOUTS Timeouts(const clsPrnPort& p) {
    platform::COMMTIMEOUTS t{};
    platform::GetCommTimeouts(Handle(p), &t);
    return t;
  }
  static void FijarTimeouts(clsPrnPort& p, std::int32_t base) {
    platform::COMMTIMEOUTS t{};
    vtl::FijarTimeouts(Handle(p), base, t);
  }
  static std::int16_t DireccionBase(const clsPrnPort& p) {
    auto c = std::dynamic_pointer_cast<CanalParalelo>(p.CanalActual());
    return c ? c->DireccionBase() : 0;
  }
  // ---- Network channel ----
  static std::shared_ptr<CanalRed> Red(const clsPrnPort& p) {
    return std::dynamic_pointer_cast<CanalRed>(p.CanalActual());
  }
  static std::shared_ptr<clsSocket> SocketRed(const clsPrnPort& p) {
    auto r = Red(p);
    return r ? r->Socket() : nullptr;
  }
  static std::int32_t ModoRespuestaRed(const clsPrnPort& p) {
    auto r = Red(p);
    return r ? r->ModoRespuesta() : 0;
  }
  static std::int64_t PeticionesRed(const clsPrnPort& p) { return Red(p)->Peticiones(); }
  static std::int64_t RespuestasRed(const clsPrnPort& p) { return Red(p)->Respuestas(); }
  static bool ConectadaRed(const clsPrnPort& p) {
    auto r = Red(p);
    return r && r->Conectada();
  }
};

}  // namespace vtl

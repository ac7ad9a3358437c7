// Every event a serial or parallel port raises, handled by a host that calls back into the
// object: clearing, closing, opening this port or another, printing, forcing a tick, polling,
// dropping its last reference, or throwing. No crash, no wedge (a job printed afterwards ends),
// and no text lost that the host did not discard itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "logo_fixture.h"
#include "objects/prnport.h"
#include "parallel_fixture.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "serial_pty.h"

namespace vtl::testing {
namespace {

using namespace platform;

enum class Evento { kNuevoEstado, kDatosImpresos, kEstadoCajon, kOnLine, kUploading, kLogoGrabado };
enum class Accion {
  kClearAll,
  kCloseAll,
  kReabrir,
  kOtroPuerto,
  kImprimir,
  kEndDocForzar,
  kCheckError,
  kSoltar,
  kLanzar
};

const char* Nombre(Evento e) {
  const char* names[] = {"NuevoEstado",          "DatosImpresos", "EstadoCajon",
                         "EstadoOnLlineOffLine", "Uploading",     "LogoGrabado"};
  return names[static_cast<int>(e)];
}

const char* Nombre(Accion a) {
  const char* names[] = {"ClearAll", "CloseAll",     "InicializarSerie", "InicializarParalelo",
                         "Imprimir", "EndDocForzar", "CheckError",       "DropLastReference",
                         "Throw"};
  return names[static_cast<int>(a)];
}

// Calls `hook` with the name of every event, before recording it.
struct HookSink : __clsPrnPort {
  std::function<void(Evento)> hook;
  std::vector<std::string> log;
  void Fire(Evento e) {
    log.emplace_back(Nombre(e));
    if (hook) hook(e);
  }
  void DatosImpresos(std::int32_t& c) override {
    log.push_back("DatosImpresos(" + std::to_string(c) + ")");
    if (hook) hook(Evento::kDatosImpresos);
  }
  void NuevoEstado(bool&, bool&) override { Fire(Evento::kNuevoEstado); }
  void EstadoCajon(bool&) override { Fire(Evento::kEstadoCajon); }
  void EstadoOnLlineOffLine(bool&) override { Fire(Evento::kOnLine); }
  void Uploading(std::int32_t&, std::int32_t&) override { Fire(Evento::kUploading); }
  void LogoGrabado(std::int32_t&) override { Fire(Evento::kLogoGrabado); }
  bool Printed(std::int32_t id) const {
    const std::string want = "DatosImpresos(" + std::to_string(id) + ")";
    return std::find(log.begin(), log.end(), want) != log.end();
  }
};

class Reentrancy : public ::testing::TestWithParam<std::tuple<Evento, Accion>> {
 protected:
  void SetUp() override {
    Loop::Current().UseManualClock(true);
    com = sim::Register("re-com1");
    lpt = sim::Register("re-lpt1");
    lpt->SetPrinterStatus(0x18);
    port = clsPrnPort::Create();
    port->Advise(&sink);
  }
  void TearDown() override {
    if (port) port->Unadvise(&sink);
    port.reset();
    sim::Unregister("re-com1");
    sim::Unregister("re-lpt1");
    Loop::Current().RunUntil([] { return false; }, 3000);
    Loop::Current().UseManualClock(false);
  }
  // Pumps on; an exception the host's own handler threw comes out of the loop to the host, and
  // the host goes on pumping.
  bool PumpUntil(const std::function<bool()>& cond, std::int64_t ms = 120'000) {
    const std::int64_t end = Loop::Current().Now() + ms;
    for (;;) {
      try {
        return Loop::Current().RunUntil(cond, end - Loop::Current().Now());
      } catch (const std::runtime_error&) {
        ++thrown;
      }
    }
  }
  template <typename F>
  void Host(F&& f) {
    if (!port) return;  // the host let the object go in a handler
    try {
      f();
    } catch (const std::runtime_error&) {
      ++thrown;
    }
  }
  std::string Everything() const { return com->Written() + lpt->Written(); }

  void Act(Accion a) {
    switch (a) {
      case Accion::kClearAll:
        port->ClearAll();
        break;
      case Accion::kCloseAll:
        port->CloseAll();
        break;
      case Accion::kReabrir:
        port->InicializarSerie(1);
        break;
      case Accion::kOtroPuerto:
        port->InicializarParalelo(1);
        break;
      case Accion::kImprimir:
        dentro = port->Imprimir("DENTRO\n");
        break;
      case Accion::kEndDocForzar:
        port->EndDocForzar();
        break;
      case Accion::kCheckError: {
        bool b = false, e = false, p = false;
        port->CheckError(b, e, p);
        break;
      }
      case Accion::kSoltar:
        port->Unadvise(&sink);
        port.reset();
        break;
      case Accion::kLanzar:
        throw std::runtime_error("the host's handler failed");
    }
  }

  ComMapping comMap{1, "sim:re-com1"};
  EnvVar lptMap{"VTL_LPT1", "sim:re-lpt1"};
  EnvVar portio{"VTL_PORTIO", "none"};
  std::shared_ptr<sim::Device> com, lpt;
  std::shared_ptr<clsPrnPort> port;
  HookSink sink;
  Files files;
  std::int32_t dentro = 0;
  int thrown = 0;
};

TEST_P(Reentrancy, HandlerCallsBackIntoTheObject) {
  const auto [evento, accion] = GetParam();
  bool hecho = false;
  sink.hook = [&](Evento e) {
    if (hecho || e != evento) return;
    hecho = true;
    Act(accion);
  };

  // Provoke the event with text of the host's on its way.
  std::int32_t antes = 0;
  switch (evento) {
    case Evento::kNuevoEstado:
      Host([&] { antes = port->Imprimir("ANTES\n"); });
      Host([&] { port->InicializarSerie(1); });
      break;
    case Evento::kDatosImpresos:
      Host([&] { port->InicializarSerie(1); });
      Host([&] { antes = port->Imprimir("ANTES\n"); });
      break;
    case Evento::kEstadoCajon:
    case Evento::kOnLine:
      Host([&] { port->InicializarSerie(1); });
      PumpUntil([&] {
        return com->Written().find(
                   "\x1d"
                   "a\x03") != std::string::npos;
      });
      com->Script({sim::WriteStep::Pending});
      Host([&] { antes = port->Imprimir("ANTES\n"); });
      PumpUntil([&] { return com->HasPending(); });
      com->Incoming("\x14");
      PumpUntil([&] { return hecho; });
      com->CompletePending();
      break;
    case Evento::kUploading:
    case Evento::kLogoGrabado: {
      Host([&] { port->InicializarSerie(1); });
      PumpUntil([&] {
        return com->Written().find(
                   "\x1d"
                   "a\x03") != std::string::npos;
      });
      const auto ring = [](int x, int y) { return (x + y) % 3 == 0; };
      Host([&] { port->UploadLogo({files.Write(Bitmap(48, 24, 0, ring))}, {"LOGO"}); });
      Host([&] { antes = port->Imprimir("ANTES\n"); });  // held back until the upload ends
      break;
    }
  }
  ASSERT_TRUE(PumpUntil([&] { return hecho; })) << "the event was not raised";
  if (accion == Accion::kLanzar) {
    EXPECT_GT(thrown, 0);
  }

  if (accion == Accion::kSoltar) {
    ASSERT_EQ(port, nullptr);
    const std::size_t n = sink.log.size();
    PumpUntil([] { return false; }, 5000);
    EXPECT_EQ(sink.log.size(), n) << "nothing reaches a host that let the object go";
    return;
  }
  // A host that closed the port opens it again to print; every other host just prints.
  if (accion == Accion::kCloseAll) Host([&] { port->InicializarSerie(1); });
  // Text printed while a logo upload runs waits for it; the upload itself must end.
  ASSERT_TRUE(PumpUntil([&] { return !port->Uploading(); })) << "the upload never ended";
  std::int32_t fin = 0;
  Host([&] { fin = port->Imprimir("FIN\n"); });
  ASSERT_GT(fin, 0);
  ASSERT_TRUE(PumpUntil([&] { return Everything().find("FIN\r\n") != std::string::npos; }))
      << "wedged";
  EXPECT_TRUE(PumpUntil([&] { return sink.Printed(fin); })) << "the last job never ended";

  if (accion != Accion::kClearAll) {
    if (antes > 0 || evento == Evento::kUploading || evento == Evento::kLogoGrabado) {
      EXPECT_NE(Everything().find("ANTES\r\n"), std::string::npos) << "text queued before was lost";
    }
    if (dentro > 0) {
      EXPECT_NE(Everything().find("DENTRO\r\n"), std::string::npos) << "text the handler printed";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryEventEveryCall, Reentrancy,
    ::testing::Combine(::testing::Values(Evento::kNuevoEstado, Evento::kDatosImpresos,
                                         Evento::kEstadoCajon, Evento::kOnLine, Evento::kUploading,
                                         Evento::kLogoGrabado),
                       ::testing::Values(Accion::kClearAll, Accion::kCloseAll, Accion::kReabrir,
                                         Accion::kOtroPuerto, Accion::kImprimir,
                                         Accion::kEndDocForzar, Accion::kCheckError,
                                         Accion::kSoltar, Accion::kLanzar)),
    [](const ::testing::TestParamInfo<Reentrancy::ParamType>& p) {
      return std::string(Nombre(std::get<0>(p.param))) + "_" + Nombre(std::get<1>(p.param));
    });

}  // namespace
}  // namespace vtl::testing

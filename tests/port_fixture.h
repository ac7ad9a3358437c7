// A printer port object on a simulated serial device, pumped on a manual clock, with every event
// it raises recorded in order.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "prnport_test_access.h"

namespace vtl::testing {

// `count` lines of 40 characters ending in CR LF, each starting with `tag` and its number.
inline std::string Lines(const std::string& tag, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    std::string line = tag + " " + std::to_string(i) + " ";
    line.resize(40, '.');
    s += line + "\r\n";
  }
  return s;
}

// Receipt lines `from` to `to` - 1, each numbered and ending in CR LF: what arrived, and where
// a part was lost or repeated, can be read off the printer's side line by line.
inline std::string Receipt(int from, int to) {
  std::string s;
  for (int i = from; i < to; ++i) s += "LINE " + std::to_string(i) + " ......................\r\n";
  return s;
}

struct Recorder : __clsPrnPort {
  std::vector<std::string> log;
  std::function<void(std::int32_t&)> onDatosImpresos;
  std::function<void(std::int32_t&, std::int32_t&)> onUploading;
  std::vector<std::int64_t> uploadingAt;

  void DatosImpresos(std::int32_t& c) override {
    log.push_back("DatosImpresos(" + std::to_string(c) + ")");
    if (onDatosImpresos) onDatosImpresos(c);
  }
  void NuevoEstado(bool& e, bool& p) override {
    log.push_back("NuevoEstado(" + std::to_string(e) + "," + std::to_string(p) + ")");
  }
  void LoopPruebas() override { log.push_back("LoopPruebas"); }
  void LogoGrabado(std::int32_t& c) override {
    log.push_back("LogoGrabado(" + std::to_string(c) + ")");
  }
  void Uploading(std::int32_t& quedan, std::int32_t& total) override {
    log.push_back("Uploading(" + std::to_string(quedan) + "," + std::to_string(total) + ")");
    uploadingAt.push_back(platform::Loop::Current().Now());
    if (onUploading) onUploading(quedan, total);
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : log) n += e.rfind(prefix, 0) == 0;
    return n;
  }
  std::vector<std::string> Only(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : log) {
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    }
    return out;
  }
};

// Also logs the drawer and on-line events of printers that send status bytes.
struct SerialRecorder : Recorder {
  void EstadoCajon(bool& a) override {
    log.push_back(std::string("EstadoCajon(") + (a ? "1" : "0") + ")");
  }
  void EstadoOnLlineOffLine(bool& o) override {
    log.push_back(std::string("OnLine(") + (o ? "1" : "0") + ")");
  }
};

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Loop::Current().UseManualClock(true);
    device = platform::sim::Register("port-test");
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    platform::sim::Unregister("port-test");
    // Leave no timer of a failed test behind for the next one.
    platform::Loop::Current().RunUntil([] { return false; }, 1000);
    platform::Loop::Current().UseManualClock(false);
  }
  // Puts the simulated device behind the object as an open serial port of a ready printer.
  void Attach(eTiposDepuerto tipo = eTDPCOM) {
    platform::HANDLE h =
        platform::CreateFileA("sim:port-test", platform::GENERIC_READ | platform::GENERIC_WRITE, 0,
                              nullptr, platform::OPEN_EXISTING, platform::FILE_FLAG_OVERLAPPED, 0);
    ASSERT_NE(h, platform::INVALID_HANDLE_VALUE);
    PrnPortTestAccess::AttachPort(*port, h, tipo, 0, "sim:port-test");
  }
  bool PumpUntil(const std::function<bool()>& cond, std::int64_t ms = 600'000) {
    return platform::Loop::Current().RunUntil(cond, ms);
  }
  bool PrintedJob(std::int32_t id) {
    return PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; });
  }
  std::vector<std::size_t> RequestSizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& r : device->Requests()) sizes.push_back(r.size());
    return sizes;
  }

  std::shared_ptr<platform::sim::Device> device;
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

}  // namespace vtl::testing

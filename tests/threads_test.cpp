// Objects belong to the thread that created them: a call from another thread is a clear error
// that touches nothing, and the last reference may be dropped anywhere, the object then going
// away on its own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "channels/serial/formulario.h"
#include "interface/dispatch.h"
#include "interface/errors.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "serial_pty.h"

namespace vtl::testing {
namespace {

using namespace platform;

TEST(Threads, ACallFromAnotherThreadIsAClearErrorAndChangesNothing) {
  auto obj = DispatchObject::Create("clsPrnPort");
  const std::int32_t rafaga = obj->Class().DispIdOf("Rafaga");
  std::int32_t hresult = 0;
  std::thread other([&] {
    std::vector<Variant> args{Variant::Boolean(true)};
    try {
      obj->Invoke(rafaga, DISPATCH_PROPERTYPUT, args);
    } catch (const DispatchError& e) {
      hresult = e.HResult();
    }
  });
  other.join();
  EXPECT_EQ(hresult, RPC_E_WRONG_THREAD);
  std::vector<Variant> none;
  EXPECT_FALSE(obj->Invoke(rafaga, DISPATCH_PROPERTYGET, none).ToBoolean());
}

TEST(Threads, TheLastReferenceDroppedElsewhereIsReleasedOnTheOwnersLoop) {
  auto dev = sim::Register("threads-com1");
  ComMapping com1{1, "sim:threads-com1"};
  auto port = clsPrnPort::Create();
  port->InicializarSerie(1);
  ASSERT_TRUE(dev->IsOpen());
  std::thread finalizer([p = std::move(port)]() mutable { p.reset(); });
  finalizer.join();
  EXPECT_TRUE(dev->IsOpen()) << "nothing of the object ran on the finalizer's thread";
  ASSERT_TRUE(RunUntil([&] { return !dev->IsOpen(); }, 5000)) << "the owner's loop released it";
  sim::Unregister("threads-com1");
}

TEST(Threads, EachThreadHasItsOwnSettingsForm) {
  const frmInitComm* here = &frmInitComm::Instance();
  const frmInitComm* there = nullptr;
  std::thread other([&] { there = &frmInitComm::Instance(); });
  other.join();
  EXPECT_NE(here, there);
}

TEST(Threads, WorkPostedToALoopWhoseThreadEndedIsRefused) {
  std::shared_ptr<Loop::Remote> remote;
  std::thread owner([&] { remote = Loop::Current().RemoteHandle(); });
  owner.join();
  ASSERT_NE(remote, nullptr);
  EXPECT_FALSE(remote->Post([] {}));
}

}  // namespace
}  // namespace vtl::testing

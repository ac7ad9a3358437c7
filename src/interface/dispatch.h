// Late-bound access to the library's objects: Invoke by DISPID with variant arguments, and events
// delivered by DISPID with by-reference arguments, as an automation host drives them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interface/errors.h"
#include "interface/typelib.h"
#include "interface/variant.h"

namespace vtl {

class clsPrnPort;
class clsPrnPortData;
class clsSerial;

class DispatchObject : public std::enable_shared_from_this<DispatchObject> {
 public:
  // Receives an event: its DISPID and arguments; assigning to an argument changes the value the
  // raising procedure holds.
  using EventCallback = std::function<void(const EventInfo& event, std::vector<Variant>& args)>;

  // Creates a new object of a creatable class. Throws DispatchError for an unknown class or one
  // this build does not provide yet.
  //
  // An object belongs to the thread that created it. Invoke, Connect and Disconnect from another
  // thread throw DispatchError RPC_E_WRONG_THREAD and touch nothing; the last reference may be
  // dropped on any thread, and the object then goes away on its own thread's loop.
  static std::shared_ptr<DispatchObject> Create(std::string_view className);
  static std::shared_ptr<DispatchObject> Wrap(const std::shared_ptr<clsPrnPort>& port);
  static std::shared_ptr<DispatchObject> Wrap(std::shared_ptr<clsPrnPortData> record);
  static std::shared_ptr<DispatchObject> Wrap(const std::shared_ptr<clsSerial>& serial);

  ~DispatchObject();
  const ClassInfo& Class() const { return cls_; }
  void* Target() const { return target_.get(); }

  // Arguments in declaration order; fewer than declared, or Missing ones, take their defaults.
  // Throws DispatchError; errors raised by the member itself come as DISP_E_EXCEPTION.
  Variant Invoke(std::int32_t dispid, std::int32_t kind, std::vector<Variant>& args);

  int Connect(EventCallback callback);
  void Disconnect(int cookie);
  // Delivers an event to every connected callback, in connection order.
  void Fire(std::int32_t dispid, std::vector<Variant>& args);

  // Throws DispatchError RPC_E_WRONG_THREAD on any thread but the object's own.
  void OnOwnerThread(const std::string& what) const;

  struct Key {};
  DispatchObject(Key, const ClassInfo& cls, std::shared_ptr<void> target);

 private:
  class PrnPortEvents;
  class SerialEvents;
  static std::shared_ptr<DispatchObject> Make(const ClassInfo& cls, std::shared_ptr<void> target);
  const ClassInfo& cls_;
  std::thread::id owner_ = std::this_thread::get_id();
  std::shared_ptr<void> target_;
  std::unique_ptr<PrnPortEvents> prnPortEvents_;
  std::unique_ptr<SerialEvents> serialEvents_;
  std::map<int, std::shared_ptr<EventCallback>> callbacks_;
  int nextCookie_ = 1;
};

}  // namespace vtl

#include "runtime/CRodiz.h"

#include <chrono>
#include <thread>

#include "device/IDevice.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/DeviceManager.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Rodiz";

#define FLOG(...) xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, __VA_ARGS__)

}  // namespace

CRodiz::CRodiz() = default;

CRodiz::~CRodiz() {
  FLOG("CRodiz::~CRodiz");
  bool alive = false;
  {
    std::lock_guard<std::mutex> guard(impl_lock);
    alive = impl != nullptr;
  }
  if (alive) {
    FLOG("CRodiz::~CRodiz calling about_to_join() to avoid deadlock");
    Vs2003SingletonThreadCleanup::about_to_join();
  }
  destroyed = true;
}

std::shared_ptr<DeviceManager> CRodiz::getimpl() {
  if (destroyed) return nullptr;
  std::lock_guard<std::mutex> guard(impl_lock);
  if (shutting_down) {
    FLOG("CRodiz::getimpl retuning nullptr due to shutdown");
    set_last_error(ShuttingDown);
    return nullptr;
  }
  if (!impl) {
    FLOG("CRodiz::getimpl creating cdevio DeviceManager");
    impl = std::make_shared<DeviceManager>();
  }
  return impl;
}

std::shared_ptr<DeviceManager> CRodiz::existing() {
  if (destroyed) return nullptr;
  std::lock_guard<std::mutex> guard(impl_lock);
  return impl;
}

void CRodiz::shutdown() {
  FLOG("CRodiz::shutdown enter");
  {
    std::lock_guard<std::mutex> guard(impl_lock);
    shutting_down = true;
  }
  reset();
  FLOG("CRodiz::shutdown exit");
}

void CRodiz::reset() {
  FLOG("CRodiz::reset enter");
  if (!destroyed) {
    std::shared_ptr<DeviceManager> local;
    {
      std::lock_guard<std::mutex> guard(impl_lock);
      local.swap(impl);
    }
    // Outside the lock: destroying the manager joins threads that may call in.
    if (local) {
      local->remove_runloop_events(nullptr, nullptr);
      wait_for_passing_users(local);
    }
  }
  FLOG("CRodiz::reset exit");
}

void CRodiz::wait_for_passing_users(const std::shared_ptr<DeviceManager>& manager) {
  // A bus thread that queues an event, or reports an error, holds the manager
  // for a moment, often inside its bus's lock. Were it the last owner, the
  // manager would end on that thread: leaving that bus would wait for the lock
  // the thread holds, and joining the thread would join itself. So the
  // resetting thread waits for such passing users and ends the manager
  // itself. An owner that keeps the manager longer (an application still
  // holding it) is not waited for past the limit; the manager then ends with
  // its last owner, as it always did.
  constexpr auto kLimit = std::chrono::milliseconds(500);
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (manager.use_count() > 1) {
    if (std::chrono::steady_clock::now() >= deadline) {
      FLOG("CRodiz::reset the manager is still held elsewhere; it ends with its last owner");
      return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::vector<std::shared_ptr<IDevice>> CRodiz::devices() {
  FLOG("CRodiz::devices");
  auto m = getimpl();
  return m ? m->devices() : std::vector<std::shared_ptr<IDevice>>();
}

std::vector<std::shared_ptr<IDevice>> CRodiz::devices_on_bus(std::shared_ptr<IDevice> receiver) {
  FLOG("CRodiz::devices_on_bus");
  auto m = getimpl();
  return m ? m->devices_on_bus(std::move(receiver)) : std::vector<std::shared_ptr<IDevice>>();
}

void CRodiz::swid(int value) {
  FLOG("CRodiz::swid");
  if (auto m = getimpl()) m->swid(value);
}

int CRodiz::swid() {
  FLOG("CRodiz::swid");
  auto m = getimpl();
  return m ? m->swid() : 15;
}

bool CRodiz::is_active() {
  FLOG("CRodiz::is_active");
  auto m = getimpl();
  return m ? m->is_active() : false;
}

void CRodiz::set_active(bool active) {
  FLOG("CRodiz::set_active %s", active ? "true" : "false");
  if (auto m = getimpl()) m->set_active(active);
}

void CRodiz::report_unreported_error(const char* context) {
  if (auto m = existing()) {
    FLOG("CRodiz::report_unreported_error");
    m->report_unreported_error(context);
  } else {
    FLOG("skipping CRodiz::report_unreported_error");
  }
}

void CRodiz::enqueue_event_for_runloop(RunLoopEntry entry) {
  if (auto m = existing()) {
    m->enqueue_event_for_runloop(std::move(entry));
  } else {
    FLOG("skipping CRodiz::enqueue_event_for_runloop");
  }
}

void CRodiz::call_event_from_runloop() {
  if (auto m = existing()) m->call_event_from_runloop();
}

void CRodiz::remove_runloop_events(const void* subscriber, const void* producer) {
  if (auto m = existing()) {
    FLOG("CRodiz::remove_runloop_events start");
    m->remove_runloop_events(subscriber, producer);
    FLOG("CRodiz::remove_runloop_events end");
  } else {
    FLOG("skipping CRodiz::remove_runloop_events");
  }
}

void CRodiz::remove_runloop_events_of(const void* subscriber, const void* producer) {
  // Called by every dying producer and subscriber: silent, and cheap when
  // there is no manager.
  if (auto m = existing()) m->remove_runloop_events_of(subscriber, producer);
}

void CRodiz::persistent_data_directory(std::string directory) {
  FLOG("CRodiz::persistent_data_directory");
  if (auto m = getimpl()) m->persistent_data_directory(std::move(directory));
}

bool CRodiz::config_default(unsigned item, bool* value) {
  FLOG("CRodiz::config_default %d", item);
  auto m = getimpl();
  return m ? m->config_default(item, value) : false;
}

bool CRodiz::config_get(unsigned item, bool* value) {
  FLOG("CRodiz::config_get %d", item);
  auto m = getimpl();
  return m ? m->config_get(item, value) : false;
}

bool CRodiz::config_set(unsigned item, bool value) {
  FLOG("CRodiz::config_set %d = %d", item, value);
  auto m = getimpl();
  return m ? m->config_set(item, value) : false;
}

bool CRodiz::connectToHardwareBusses() {
  FLOG("CRodiz::connectToHardwareBusses");
  auto m = getimpl();
  return m ? m->connectToHardwareBusses() : false;
}

std::shared_ptr<IDevice> CRodiz::makeDevice(std::shared_ptr<IHardwareDevice> hwdev, int force_plain, int pid) {
  FLOG("CRodiz::makeDevice");
  auto m = getimpl();
  return m ? m->makeDevice(std::move(hwdev), force_plain, pid) : nullptr;
}

bool CRodiz::manual_subscribe(Subscriber<IDeviceManager::ArrivalRemoval>* subscriber, int delivery) {
  FLOG("CRodiz::manual_subscribe");
  auto m = getimpl();
  return m ? m->Producer<IDeviceManager::ArrivalRemoval>::subscribe(subscriber, delivery) : false;
}

void CRodiz::manual_unsubscribe(Subscriber<IDeviceManager::ArrivalRemoval>* subscriber) {
  if (auto m = existing()) {
    FLOG("CRodiz::manual_unsubscribe");
    m->Producer<IDeviceManager::ArrivalRemoval>::unsubscribe(subscriber);
  } else {
    FLOG("skipping CRodiz::manual_unsubscribe");
  }
}

CRodiz::operator std::shared_ptr<IDeviceManager>() {
  FLOG("CRodiz::shared_ptr<>");
  return getimpl();
}

CRodiz& facade() {
  // Constructed before main runs (static initialisation below), destroyed at
  // process exit after the guard has shut it down.
  static CRodiz instance;
  return instance;
}

namespace {

// Registers the library's shutdown with the thread-cleanup guard before the
// application starts, so it runs before the log's own shutdown.
const bool g_facade_registered = [] {
  facade();
  Vs2003SingletonThreadCleanup::register_cleanup([] { facade().shutdown(); });
  return true;
}();

}  // namespace

namespace runloop {

void enqueue(RunLoopEntry entry) { facade().enqueue_event_for_runloop(std::move(entry)); }

void remove(const void* subscriber, const void* producer) { facade().remove_runloop_events(subscriber, producer); }

void remove_producer(const void* producer) {
  if (producer != nullptr) facade().remove_runloop_events_of(nullptr, producer);
}

void remove_subscriber(const void* subscriber) {
  if (subscriber != nullptr) facade().remove_runloop_events_of(subscriber, nullptr);
}

}  // namespace runloop
}  // namespace rodiz

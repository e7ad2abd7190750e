#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "features/IFeature0003FirmwareInfo.h"
#include "features/IFeature00c2DFUControl.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "sim/SimBus.h"
#include "sim/SimHarness.h"
#include "support/RunLoopPump.h"
#include "transport/HidBusFactory.h"

namespace rodiz {
namespace {

// The application's view: arrivals and removals through the facade, with
// run-loop delivery drained by this thread.
class Arrivals : public Subscriber<IDeviceManager::ArrivalRemoval> {
 public:
  ~Arrivals() override { leave_all(); }
  void onDeviceArrival(std::shared_ptr<IDevice> device) override {
    log.push_back("+" + std::to_string(device->pid()));
    last = device;
  }
  void onDeviceRemoval(std::shared_ptr<IDevice> device) override { log.push_back("-" + std::to_string(device->pid())); }
  std::vector<std::string> log;
  std::shared_ptr<IDevice> last;
};

TEST(ManagerEndToEndTest, MouseArrivesAndComesBackAsItsBootloader) {
  auto mouse = std::make_shared<sim::SimMouse>(test::SimHarness::fast_config());
  auto bus = std::make_shared<sim::SimBus>();
  bus->add(mouse);
  HidBusFactory::use_bus([bus](std::weak_ptr<IDeviceManager>) { return bus; });
  {
    std::shared_ptr<IDeviceManager> manager = facade();
    ASSERT_TRUE(manager);
    test::RunLoopPump pump(manager);
    ASSERT_TRUE(facade().config_set(5, true));
    Arrivals arrivals;
    ASSERT_TRUE(arrivals.subscribe(manager, DeliveryRunLoop, ""));
    std::vector<std::shared_ptr<IDevice>> present = facade().devices();
    ASSERT_EQ(1u, present.size());
    std::shared_ptr<IDevice> app = present.front();
    EXPECT_EQ(0xC087, app->pid());
    EXPECT_EQ("Mirel VELOXA Wireless Gaming Mouse", app->name());

    auto info = app->feature<IFeature0003FirmwareInfo>();
    ASSERT_TRUE(info);
    std::string version;
    ASSERT_TRUE(info->GetFwFormattedVersion(&version));
    EXPECT_EQ("14.2.6", version);
    auto control = app->feature<IFeature00c2DFUControl>();
    ASSERT_TRUE(control);
    ASSERT_TRUE(control->SetDfuControl(1, 0));
    const std::string removal = "-" + std::to_string(0xC087);
    const std::string arrival = "+" + std::to_string(0xAADB);
    ASSERT_TRUE(pump.run_until([&] { return arrivals.log.size() >= 2; }));
    EXPECT_EQ((std::vector<std::string>{removal, arrival}), arrivals.log);
    ASSERT_TRUE(arrivals.last);
    EXPECT_EQ(0xAADB, arrivals.last->pid());
    EXPECT_TRUE(arrivals.last->removed() == false);
    EXPECT_TRUE(app->removed());
    arrivals.last.reset();
  }
  facade().reset();
  HidBusFactory::use_bus(nullptr);
  bus->remove(mouse);
  bus->wait_idle();
}

}  // namespace
}  // namespace rodiz

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <sstream>
#include <string>

#include "features/Feature.h"
#include "features/FeatureRegistry.h"
#include "features/IFeature0021CryptoIdentifier.h"
#include "features/IFeature1000BatteryUnifiedLevelStatus.h"
#include "features/IFeature1001BatteryVoltage.h"
#include "features/IFeature1B00SpecialKeys.h"
#include "features/IFeature1F1FFirmwareProperties.h"
#include "features/IFeature2121HiResWheel.h"
#include "features/IFeature4521DisableKeys.h"
#include "features/IFeature6500Gestures.h"
#include "features/IFeature8110MouseButtonSpy.h"
#include "features/IFeature8120GamingAttachments.h"

namespace rodiz {
namespace {

// What the listeners heard, one "callback(arguments)" line per event.
class Heard {
 public:
  template <class... A>
  void add(const char* callback, const A&... args) {
    std::ostringstream line;
    line << callback << "(";
    [[maybe_unused]] const char* sep = "";
    ((line << sep << text(args), sep = ","), ...);
    line << ")";
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(line.str());
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(lines_, {});
  }

 private:
  template <class T>
  static std::string text(const T& value) {
    if constexpr (std::is_enum_v<T>) {
      return std::to_string(static_cast<int>(value));
    } else if constexpr (std::is_same_v<T, bool>) {
      return value ? "1" : "0";
    } else {
      return std::to_string(value);
    }
  }
  template <class T>
  static std::string text(const std::vector<T>& values) {
    std::string joined = "[";
    for (std::size_t i = 0; i < values.size(); ++i) joined += (i ? " " : "") + text(values[i]);
    return joined + "]";
  }
  std::mutex lock_;
  std::vector<std::string> lines_;
};

template <class E>
class Listener : public Subscriber<E> {
 public:
  explicit Listener(Heard& heard) : heard_(heard) {}
  ~Listener() override { this->leave_all(); }

 protected:
  Heard& heard_;
};

struct Battery : Listener<IFeature1000BatteryUnifiedLevelStatus::Report> {
  using Listener::Listener;
  void onBatteryLevelStatus(short a, short b, short c) override { heard_.add("onBatteryLevelStatus", a, b, c); }
};
struct Voltage : Listener<IFeature1001BatteryVoltage::Report> {
  using Listener::Listener;
  void onReport(const IFeature1001BatteryVoltage::BatteryInfo& info) override { heard_.add("onReport", info.data); }
};
struct Regen : Listener<IFeature0021CryptoIdentifier::RegenDetect> {
  using Listener::Listener;
  void onRegenerateIdentifier(unsigned swid) override { heard_.add("onRegenerateIdentifier", swid); }
};
struct Keys : Listener<IFeature1B00SpecialKeys::KeyReport> {
  using Listener::Listener;
  void onKeyChange(const std::vector<unsigned>& keys) override { heard_.add("onKeyChange", keys); }
};
struct Property : Listener<IFeature1F1FFirmwareProperties::Notification> {
  using Listener::Listener;
  void onPropertyChanged() override { heard_.add("onPropertyChanged"); }
};
struct Wheel : Listener<IFeature2121HiResWheel::Report> {
  using Listener::Listener;
  void onWheelMovement(bool a, unsigned b, int c, int d) override { heard_.add("onWheelMovement", a, b, c, d); }
};
struct Ratchet : Listener<IFeature2121HiResWheel::RatchetSwitch> {
  using Listener::Listener;
  void onRatchetSwitch(bool a) override { heard_.add("onRatchetSwitch", a); }
};
struct WheelSetting : Listener<IFeature2121HiResWheel::SettingChange> {
  using Listener::Listener;
  void onSettingChange(unsigned s, bool a, bool b, bool c, unsigned d, unsigned e) override {
    heard_.add("onSettingChange", s, a, b, c, d, e);
  }
};
struct Disabled : Listener<IFeature4521DisableKeys::SettingChange> {
  using Listener::Listener;
  void onSettingChange(unsigned s, bool a, bool b, bool c, bool d, bool e) override {
    heard_.add("onSettingChange", s, a, b, c, d, e);
  }
};
struct Gesture : Listener<IFeature6500Gestures::Report> {
  using Listener::Listener;
  using G = IFeature6500Gestures::GestureId;
  using T = IFeature6500Gestures::EventType;
  void onReport(G g, T t) override { heard_.add("onReport", g, t); }
  void onReport(G g, T t, int a, int b, int c) override { heard_.add("onReport", g, t, a, b, c); }
  void onReport(G g, T t, int a, int b, int c, int d) override { heard_.add("onReport", g, t, a, b, c, d); }
  void onReport(G g, T t, int a, int b, int c, IFeature6500Gestures::Direction d) override {
    heard_.add("onReport", g, t, a, b, c, d);
  }
};
struct Spy : Listener<IFeature8110MouseButtonSpy::Report> {
  using Listener::Listener;
  void onButtonReport(unsigned short buttons) override { heard_.add("onButtonReport", buttons); }
};
struct Attachments : Listener<IFeature8120GamingAttachments::Report> {
  using Listener::Listener;
  void onAttachmentChanged(const std::vector<IFeature8120GamingAttachments::AttachmentId>& ids) override {
    heard_.add("onAttachmentChanged", ids);
  }
};

struct Case {
  int id;
  bool notification;  // else another program's answer
  unsigned function;
  std::vector<Byte> params;
  std::vector<std::string> expected;
};

// Each decoder with every field, and its parameters one byte too short.
const std::vector<Case> kCases = {
    {0x1000, true, 0, {50, 20, 1}, {"onBatteryLevelStatus(50,20,1)"}},
    {0x1000, true, 0, {50, 20}, {}},
    {0x1000, true, 1, {50, 20, 1}, {}},
    {0x1001, true, 0, {9, 8}, {"onReport([9 8])"}},
    {0x0021, false, 2, {0}, {"onRegenerateIdentifier(4)"}},
    {0x0021, false, 2, {}, {}},
    {0x0021, false, 0, {0}, {}},
    {0x1B00, true, 0, {0x00, 0x52, 0x01, 0x03}, {"onKeyChange([82 259])"}},
    {0x1B00, true, 0, {0x00, 0x52, 0x01}, {"onKeyChange([82])"}},
    {0x1F1F, true, 0, {}, {"onPropertyChanged()"}},
    {0x2121, true, 0, {1, 0x01, 0x02, 0xFF, 0xFE, 0x00, 0x05}, {"onWheelMovement(1,258,-2,5)"}},
    {0x2121, true, 0, {1, 0x01, 0x02, 0xFF, 0xFE, 0x00}, {}},
    {0x2121, true, 1, {1}, {"onRatchetSwitch(1)"}},
    {0x2121, true, 1, {}, {}},
    {0x2121, false, 2, {1, 0, 1, 0x00, 0x10, 0x01, 0x00}, {"onSettingChange(4,1,0,1,16,256)"}},
    {0x2121, false, 2, {1, 0, 1, 0x00, 0x10, 0x01}, {}},
    {0x2121, false, 1, {1, 0, 1, 0x00, 0x10, 0x01, 0x00}, {}},
    {0x4521, false, 2, {1, 0, 1, 0, 1}, {"onSettingChange(4,1,0,1,0,1)"}},
    {0x4521, false, 2, {1, 0, 1, 0}, {}},
    {0x6500, true, 0, {3, 1}, {"onReport(3,1)"}},
    {0x6500, true, 3, {1, 2, 0, 1, 0, 2, 0xFF, 0xFD, 4}, {"onReport(1,2,1,2,-3,4)"}},
    {0x6500, true, 3, {1, 2, 0, 1, 0, 2, 0xFF, 0xFD}, {}},
    {0x8110, true, 0, {0x12, 0x34}, {"onButtonReport(4660)"}},
    {0x8110, true, 0, {0x12}, {}},
    {0x8120, true, 0, {3, 7}, {"onAttachmentChanged([3 7])"}},
};

TEST(CatalogueEventsTest, NotificationsAndForeignAnswersDecodeIntoTheirCallbacks) {
  FeatureRegistry::link_all_features();
  Heard heard;
  std::map<int, std::shared_ptr<Feature>> features;
  for (int id : {0x0021, 0x1000, 0x1001, 0x1B00, 0x1F1F, 0x2121, 0x4521, 0x6500, 0x8110, 0x8120}) {
    features[id] = FeatureRegistry::create(id, 3, {});
  }
  Battery battery(heard);
  Voltage voltage(heard);
  Regen regen(heard);
  Keys keys(heard);
  Property property(heard);
  Wheel wheel(heard);
  Ratchet ratchet(heard);
  WheelSetting wheel_setting(heard);
  Disabled disabled(heard);
  Gesture gesture(heard);
  Spy spy(heard);
  Attachments attachments(heard);
  ASSERT_TRUE(battery.subscribe(features[0x1000], DeliveryImmediate));
  ASSERT_TRUE(voltage.subscribe(features[0x1001], DeliveryImmediate));
  ASSERT_TRUE(regen.subscribe(features[0x0021], DeliveryImmediate));
  ASSERT_TRUE(keys.subscribe(features[0x1B00], DeliveryImmediate));
  ASSERT_TRUE(property.subscribe(features[0x1F1F], DeliveryImmediate));
  ASSERT_TRUE(wheel.subscribe(features[0x2121], DeliveryImmediate));
  ASSERT_TRUE(ratchet.subscribe(features[0x2121], DeliveryImmediate));
  ASSERT_TRUE(wheel_setting.subscribe(features[0x2121], DeliveryImmediate));
  ASSERT_TRUE(disabled.subscribe(features[0x4521], DeliveryImmediate));
  ASSERT_TRUE(gesture.subscribe(features[0x6500], DeliveryImmediate));
  ASSERT_TRUE(spy.subscribe(features[0x8110], DeliveryImmediate));
  ASSERT_TRUE(attachments.subscribe(features[0x8120], DeliveryImmediate));

  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.id << (c.notification ? " notification " : " answer ")
                                    << std::dec << c.function << " of " << c.params.size() << " bytes");
    Feature& f = *features.at(c.id);
    if (c.notification) {
      f.dispatch_feature_report(c.function, 0, c.params);
    } else {
      f.dispatch_unexpected_response(c.function, 4, c.params);
    }
    EXPECT_EQ(c.expected, heard.take());
  }
}

}  // namespace
}  // namespace rodiz

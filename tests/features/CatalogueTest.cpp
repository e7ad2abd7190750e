#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>

#include "device/Device.h"
#include "device/LastError.h"
#include "features/CatalogueCases.inc"
#include "features/Feature.h"
#include "features/FeatureRegistry.h"
#include "features/IFeature40A2FnInversion.h"
#include "features/IFeature8070ColorLEDEffects.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

using Reply = test::FakeChannel::Reply;
using Call = bool (*)(IFeature&, const std::vector<Byte>&, std::vector<Byte>*);

enum Kind { Waits = 0, OneWay = 1, Either = 2, Pending = 3, Text = 4 };

struct Case {
  int id;
  const char* name;
  unsigned function;
  int kind;
  Call call;
};

#define RODIZ_CASE(I, ID, NAME, FN, KIND, ...)                                                         \
  Case{ID, NAME, FN, KIND, [](IFeature& f, const std::vector<Byte>& p, std::vector<Byte>* r) -> bool { \
         auto& i = dynamic_cast<I&>(f);                                                                \
         __VA_ARGS__                                                                                   \
       }},
#define RODIZ_LED_CASE(FN) \
  RODIZ_CASE(IFeature8070ColorLEDEffects, 0x8070, "Function" #FN, FN, 0, return i.Function##FN(p, r);)

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {RODIZ_CATALOGUE_CASES(RODIZ_CASE) RODIZ_LED_CASE(0) RODIZ_LED_CASE(1)
                                            RODIZ_LED_CASE(14) RODIZ_LED_CASE(2) RODIZ_LED_CASE(3) RODIZ_LED_CASE(6)
                                                RODIZ_LED_CASE(7) RODIZ_LED_CASE(8) RODIZ_LED_CASE(9) RODIZ_LED_CASE(10)
                                                    RODIZ_LED_CASE(11) RODIZ_LED_CASE(12) RODIZ_LED_CASE(13)};
  return all;
}

std::vector<Byte> counting(std::size_t n, Byte first) {
  std::vector<Byte> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<Byte>(first + i);
  return bytes;
}

// Every feature of the catalogue on one scripted device, each at an index of
// its own. The device answers with `answer_params_`, an error, or nothing.
class CatalogueTest : public testing::Test {
 protected:
  enum class Mode { Answer, Error, Silent };

  void SetUp() override {
    std::map<int, int> indexes;
    for (const Case& c : cases()) indexes.emplace(c.id, static_cast<int>(indexes.size()) + 1);
    channel_ = std::make_shared<test::FakeChannel>();
    auto root = test::root_only_script(indexes);
    channel_->set_script([this, root](const std::vector<Byte>& w) -> std::vector<Reply> {
      if (w[2] == 0x00) return root(w);
      switch (mode_.load()) {
        case Mode::Answer:
          return {{test::answer(w, answer_params_), 0}};
        case Mode::Error:
          return {{test::frap20_error(w, 0x02), 0}};
        case Mode::Silent:
          break;
      }
      return {};
    });
    device_ = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel_);
    device_->initDevice(nullptr);
    device_->set_timeout_ms(100);
  }

  std::shared_ptr<IFeature> feature(const Case& c) {
    std::shared_ptr<IFeature> f = device_->feature_by_id(c.id);
    EXPECT_TRUE(f) << c.name;
    return f;
  }

  // The request the last call wrote, once the channel has taken it.
  std::vector<Byte> last_written() {
    channel_->flush();
    return channel_->written().back();
  }

  std::shared_ptr<test::FakeChannel> channel_;
  std::shared_ptr<Device> device_;
  std::atomic<Mode> mode_{Mode::Answer};
  const std::vector<Byte> answer_params_ = counting(16, 0xB0);
};

// Calls `c` with `params` the way its kind allows; `response` is null for
// operations that do not wait.
bool call(const Case& c, IFeature& f, const std::vector<Byte>& params, std::vector<Byte>* response) {
  return c.call(f, params, c.kind == Waits || c.kind == Either ? response : nullptr);
}

TEST_F(CatalogueTest, EveryOperationSendsItsFunctionAndParametersAndReturnsTheAnswer) {
  ASSERT_GT(cases().size(), 200u);
  for (const Case& c : cases()) {
    SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.id << " " << c.name);
    auto f = feature(c);
    ASSERT_TRUE(f);
    const bool waits = c.kind != OneWay;
    mode_ = waits ? Mode::Answer : Mode::Silent;
    for (std::size_t size : {std::size_t{2}, std::size_t{16}}) {
      const std::vector<Byte> params = counting(size, 0x41);
      std::vector<Byte> response;
      ASSERT_TRUE(call(c, *f, params, &response)) << last_error_code();
      const std::vector<Byte> w = last_written();
      ASSERT_GE(w.size(), 4 + size);
      EXPECT_EQ(size > 3 ? 0x11 : 0x10, w[0]);
      EXPECT_EQ(0xFF, w[1]);
      EXPECT_EQ(f->feature_index(), w[2]);
      EXPECT_EQ(c.function, static_cast<unsigned>(w[3] >> 4));
      EXPECT_EQ(static_cast<unsigned>(device_->swid()), w[3] & 0x0Fu);
      EXPECT_EQ(params, std::vector<Byte>(w.begin() + 4, w.begin() + 4 + static_cast<std::ptrdiff_t>(size)));
      if (c.kind == Waits || c.kind == Either) {
        EXPECT_EQ(answer_params_, response);
      }
    }
  }
}

TEST_F(CatalogueTest, TooManyParametersAreRefusedWithoutSending) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.id << " " << c.name);
    auto f = feature(c);
    ASSERT_TRUE(f);
    const std::size_t before = channel_->write_count();
    std::vector<Byte> response;
    EXPECT_FALSE(call(c, *f, counting(17, 1), &response));
    EXPECT_EQ(ParameterSizeMismatch, last_error_code());
    EXPECT_EQ(before, channel_->write_count());
  }
}

TEST_F(CatalogueTest, DeviceErrorsFailTheOperationAndLeaveTheResponseAlone) {
  mode_ = Mode::Error;
  for (const Case& c : cases()) {
    if (c.kind == OneWay) continue;  // nothing waits for the error
    SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.id << " " << c.name);
    auto f = feature(c);
    ASSERT_TRUE(f);
    std::vector<Byte> response{0xEE};
    EXPECT_FALSE(call(c, *f, {0x01}, &response));
    EXPECT_EQ(Frp20Error2, last_error_code());
    EXPECT_EQ(std::vector<Byte>{0xEE}, response);
  }
}

TEST_F(CatalogueTest, SetCurrentHostWaitsOnlyWhenAResponseIsWanted) {
  const Case* host = nullptr;
  for (const Case& c : cases()) {
    if (c.id == 0x1814 && std::string(c.name) == "SetCurrentHost") host = &c;
  }
  ASSERT_NE(nullptr, host);
  auto f = feature(*host);
  mode_ = Mode::Silent;
  // One-way: nothing answers and the call still succeeds.
  const std::size_t before = channel_->write_count();
  EXPECT_TRUE(host->call(*f, {0x02}, nullptr));
  EXPECT_EQ(0x02, last_written()[4]);
  EXPECT_EQ(before + 1, channel_->write_count());
  // Waiting: the answer comes back.
  mode_ = Mode::Answer;
  std::vector<Byte> response;
  EXPECT_TRUE(host->call(*f, {0x02}, &response));
  EXPECT_EQ(answer_params_, response);
}

TEST(CatalogueRegistryTest, EveryCatalogueIdCreatesItsOwnClass) {
  FeatureRegistry::link_all_features();
  const std::vector<int> ids = FeatureRegistry::registered_ids();
  std::map<int, const Case*> first;
  for (const Case& c : cases()) first.emplace(c.id, &c);
  first.emplace(0x40A2, nullptr);
  EXPECT_EQ(62u, first.size());
  for (const auto& [id, c] : first) {
    SCOPED_TRACE(testing::Message() << std::hex << "0x" << id);
    EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), id));
    std::shared_ptr<Feature> made = FeatureRegistry::create(id, 7, {});
    ASSERT_TRUE(made);
    EXPECT_EQ(id, made->feature_id());
    EXPECT_EQ(7, made->feature_index());
    // A plain Feature would not be any catalogue interface: calling through
    // the cast proves the class. Without a device the call fails cleanly.
    if (c) {
      std::vector<Byte> response;
      EXPECT_FALSE(call(*c, *made, {0x01}, &response));
      EXPECT_EQ(DeviceRemoved, last_error_code());
    } else {
      EXPECT_TRUE(std::dynamic_pointer_cast<IFeature40A2FnInversion>(made));
    }
  }
}

}  // namespace
}  // namespace rodiz

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/LastError.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "support/FakeBus.h"
#include "support/FakeChannel.h"
#include "support/RunLoopPump.h"
#include "transport/CombinerBus.h"
#include "transport/CombinerDevice.h"

namespace rodiz {
namespace {

using test::FakeBus;
using test::FakeChannel;

// A HID collection: its bit, the bits its device needs and its report length.
class Collection : public FakeChannel {
 public:
  Collection(std::string path, int bit, int need, int length, std::string key)
      : FakeChannel(0xC087, 0, std::move(path)), bit_(bit), need_(need), length_(length), key_(std::move(key)) {}
  int collection_bit() override { return bit_; }
  int collections_needed() override { return need_; }
  int report_length() override { return length_; }
  std::string combine_key() override { return key_; }

 private:
  int bit_;
  int need_;
  int length_;
  std::string key_;
};

class Events : public Subscriber<IHardwareBus::PlugUnplug> {
 public:
  ~Events() override { leave_all(); }
  void onPlug(std::shared_ptr<IHardwareDevice> device) override { log.push_back("+" + device->path()); }
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override { log.push_back("-" + device->path()); }
  std::vector<std::string> log;
};

// The combiner over a hand-driven bus, its events delivered through the run loop.
class CombinerTest : public testing::Test {
 protected:
  void SetUp() override {
    manager_ = facade().getimpl();
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
    inner_ = std::make_shared<FakeBus>();
    combiner_ = std::make_shared<CombinerBus>(manager_, inner_);
    ASSERT_TRUE(events_.subscribe(combiner_, DeliveryImmediate));
  }
  void TearDown() override {
    events_.unsubscribe(combiner_);
    combiner_.reset();
    pump_.reset();
    manager_.reset();
    facade().reset();
  }
  std::shared_ptr<Collection> short_piece() { return std::make_shared<Collection>("col01", 1, 3, 7, "parent"); }
  std::shared_ptr<Collection> long_piece() { return std::make_shared<Collection>("col02", 2, 3, 20, "parent"); }
  void plug(std::shared_ptr<IHardwareDevice> piece) {
    inner_->plug(std::move(piece));
    pump_->drain();
  }
  void unplug(std::shared_ptr<IHardwareDevice> piece) {
    inner_->unplug(piece);
    pump_->drain();
  }

  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
  std::shared_ptr<FakeBus> inner_;
  std::shared_ptr<CombinerBus> combiner_;
  Events events_;
};

TEST_F(CombinerTest, DeviceIsAnnouncedOnceWhenItsSecondCollectionArrives) {
  for (bool long_first : {false, true}) {
    auto a = long_first ? std::shared_ptr<IHardwareDevice>(long_piece()) : short_piece();
    auto b = long_first ? std::shared_ptr<IHardwareDevice>(short_piece()) : long_piece();
    plug(a);
    EXPECT_TRUE(events_.log.empty());
    plug(b);
    EXPECT_EQ(std::vector<std::string>{"+parent"}, events_.log);
    // Listing again shows the device without announcing it again.
    const auto listed = combiner_->devices();
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ("parent", listed[0]->path());
    EXPECT_EQ(std::vector<std::string>{"+parent"}, events_.log);
    unplug(a);
    EXPECT_EQ((std::vector<std::string>{"+parent", "-" + a->path(), "-parent"}), events_.log);
    unplug(b);
    events_.log.clear();
  }
  EXPECT_TRUE(combiner_->devices().empty());
  EXPECT_EQ(NoError, last_error_code());
}

TEST_F(CombinerTest, WholeCollectionPassesThroughUnchanged) {
  auto whole = std::make_shared<Collection>("single", 2, 2, 20, "single");
  plug(whole);
  EXPECT_EQ(std::vector<std::string>{"+single"}, events_.log);
  const auto listed = combiner_->devices();
  ASSERT_EQ(1u, listed.size());
  EXPECT_EQ(whole, listed[0]);
}

TEST_F(CombinerTest, WritesGoToTheFirstCollectionLongEnough) {
  auto s = short_piece();
  auto l = long_piece();
  plug(s);
  plug(l);
  const auto listed = combiner_->devices();
  ASSERT_EQ(1u, listed.size());
  auto device = listed[0];
  ASSERT_TRUE(device->write(std::vector<Byte>(7, 0x10), false));
  ASSERT_TRUE(device->write(std::vector<Byte>(20, 0x11), false));
  EXPECT_EQ(1u, s->write_count());
  EXPECT_EQ(1u, l->write_count());
  EXPECT_FALSE(device->write(std::vector<Byte>(21, 0x11), false));
  EXPECT_EQ(WriteExceedsCollectionSize, last_error_code());
}

TEST_F(CombinerTest, ReadsOfEveryPieceComeUpAsTheDevicesOwn) {
  class Reader : public Subscriber<IHardwareDevice::Read> {
   public:
    ~Reader() override { leave_all(); }
    void onRead(std::vector<Byte> report, bool, unsigned, unsigned) override { sizes.push_back(report.size()); }
    std::vector<std::size_t> sizes;
  };
  auto s = short_piece();
  auto l = long_piece();
  plug(s);
  plug(l);
  auto device = combiner_->devices().at(0);
  Reader reader;
  ASSERT_TRUE(reader.subscribe(device, DeliveryImmediate));
  // Each piece reads on its own thread: one after the other keeps the order known.
  s->inject(std::vector<Byte>(7, 1));
  s->flush();
  l->inject(std::vector<Byte>(20, 2));
  l->flush();
  EXPECT_EQ((std::vector<std::size_t>{7, 20}), reader.sizes);
}

TEST_F(CombinerTest, SecondPieceWithTheSameBitIsIgnored) {
  auto s = short_piece();
  plug(s);
  plug(std::make_shared<Collection>("col01-again", 1, 3, 7, "parent"));
  EXPECT_TRUE(events_.log.empty());
  plug(long_piece());
  auto device = combiner_->devices().at(0);
  ASSERT_TRUE(device->write(std::vector<Byte>(7, 0x10), false));
  EXPECT_EQ(1u, s->write_count());  // the first piece stayed
}

// A collection that refuses Read subscribers (its read thread cannot start).
class UnreadableCollection : public Collection {
 public:
  using Collection::Collection;

 protected:
  bool on_subscribe(Subscriber<IHardwareDevice::Read>*) override {
    set_last_error(SystemCallFailed, 0, "read thread");
    return false;
  }
};

class PieceListener : public Subscriber<IHardwareDevice::Read>, public Subscriber<IHardwareDevice::Write> {
 public:
  ~PieceListener() override {
    Subscriber<IHardwareDevice::Read>::leave_all();
    Subscriber<IHardwareDevice::Write>::leave_all();
  }
};

TEST_F(CombinerTest, PieceThatCannotBeReadIsReportedEvenWhenWritesCanBeFollowed) {
  auto first = short_piece();
  auto device = std::make_shared<CombinerDevice>(combiner_, first);
  PieceListener listener;
  ASSERT_TRUE(listener.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(listener.Subscriber<IHardwareDevice::Write>::subscribe(device, DeliveryImmediate));
  auto unreadable = std::make_shared<UnreadableCollection>("col02", 2, 3, 20, "parent");
  EXPECT_FALSE(device->add_piece(unreadable));
  EXPECT_TRUE(device->whole()) << "the piece is kept whatever the result";
}

TEST_F(CombinerTest, PiecesWritesAreReleasedWhenTheLastWriteListenerLeaves) {
  auto first = short_piece();
  auto second = long_piece();
  auto device = std::make_shared<CombinerDevice>(combiner_, first);
  ASSERT_TRUE(device->add_piece(second));
  {
    PieceListener listener;
    ASSERT_TRUE(listener.Subscriber<IHardwareDevice::Write>::subscribe(device, DeliveryImmediate));
    EXPECT_EQ(1, first->Producer<IHardwareDevice::Write>::subscriber_count());
    EXPECT_EQ(1, second->Producer<IHardwareDevice::Write>::subscriber_count());
  }
  EXPECT_EQ(0, first->Producer<IHardwareDevice::Write>::subscriber_count());
  EXPECT_EQ(0, second->Producer<IHardwareDevice::Write>::subscriber_count());
  // A piece added afterwards is not followed either.
  auto third = std::make_shared<Collection>("col04", 4, 7, 64, "parent");
  ASSERT_TRUE(device->add_piece(third));
  EXPECT_EQ(0, third->Producer<IHardwareDevice::Write>::subscriber_count());
}

}  // namespace
}  // namespace rodiz

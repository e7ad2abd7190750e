#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/FakeChannel.h"

namespace rodiz::test {

// A receiver's channel that answers register requests from a register table,
// announces its paired slots when asked (before it answers the request, as a
// receiver does), and answers the paired devices' FRAP 2.0 requests with the
// root feature alone when told to.
class ScriptedReceiver {
 public:
  struct Slot {
    int qid = 0;
    bool link = true;
    std::string name;
  };

  explicit ScriptedReceiver(int pid = 0xC52B, int protocol = 4, std::string path = "fake://receiver");

  std::shared_ptr<FakeChannel> channel() const { return channel_; }
  void pair(int slot, int qid, bool link = true, std::string name = "Mouse");
  void unpair_slot(int slot);
  void set_register(Byte reg, std::array<Byte, 3> value);
  std::array<Byte, 3> register_value(Byte reg);
  // Register 0x02 then claims `count` connected devices (default: the slots with a link).
  void claim_connected(int count);
  // Only the first `count` paired slots answer a fake arrival request.
  void limit_announcements(int count);
  void set_activity(std::vector<Byte> values);
  // A name answer whose length byte claims `claimed` bytes.
  void claim_name_length(int claimed);
  void answer_devices(bool answer);
  // The paired device's connection notification, as the receiver sends it.
  std::vector<Byte> connection(int slot, int qid, bool link) const;
  // Register writes and reads since the last forget_requests(), in order, as
  // "80 00 00 01 00" (sub-id, register, parameters).
  std::vector<std::string> register_requests();
  void forget_requests();
  // The receiver is pulled out: its channel fails every write and answers
  // nothing; plugged_back() undoes that.
  void pulled_out();
  void plugged_back();

 private:
  std::vector<FakeChannel::Reply> handle(const std::vector<Byte>& written);

  const int protocol_;
  std::shared_ptr<FakeChannel> channel_;
  std::mutex lock_;
  std::map<Byte, std::array<Byte, 3>> registers_;
  std::map<int, Slot> slots_;
  int claimed_connected_ = -1;
  int announce_limit_ = -1;
  int claimed_name_length_ = -1;
  std::vector<Byte> activity_;
  bool answer_devices_ = false;
  bool pulled_out_ = false;
  std::size_t forgotten_ = 0;
};

}  // namespace rodiz::test

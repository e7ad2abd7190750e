#include "transport/CombinerDevice.h"

#include "device/LastError.h"
#include "log/xLog.h"
#include "transport/CombinerBus.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "CombinerDevice";
#define CLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
}  // namespace

CombinerDevice::CombinerDevice(std::weak_ptr<CombinerBus> bus, std::shared_ptr<IHardwareDevice> first_piece)
    : bus_(std::move(bus)),
      key_(first_piece->combine_key()),
      pid_(first_piece->pid()),
      name_(first_piece->name()),
      need_(first_piece->collections_needed()) {
  CLOG(LogDebug, "CombinerDevice constructor (pid = 0x%x)", static_cast<unsigned>(pid_));
  const int bit = first_piece->collection_bit();
  pieces_[bit] = std::move(first_piece);
}

CombinerDevice::~CombinerDevice() {
  Subscriber<IHardwareDevice::Read>::leave_all();
  Subscriber<IHardwareDevice::Write>::leave_all();
}

bool CombinerDevice::whole() {
  int got = 0;
  for (const auto& [bit, piece] : pieces_) got |= bit;
  const bool is_whole = need_ == (got & need_);
  CLOG(LogVerbose, "CombinerDevice::whole = %d (need %d, got %d)", is_whole, need_, got);
  return is_whole;
}

bool CombinerDevice::add_piece(std::shared_ptr<IHardwareDevice> piece) {
  CLOG(LogDebug, "CombinerDevice::add_piece enter");
  const int bit = piece->collection_bit();
  if (pieces_.count(bit) != 0) {
    CLOG(LogDebug, "CombinerDevice::add_piece keeping existing piece");
    return true;
  }
  bool result = true;
  if (reading_) {
    CLOG(LogDebug, "CombinerDevice::add_piece reading, so subscribing to new piece");
    result = Subscriber<IHardwareDevice::Read>::subscribe(piece, DeliveryImmediate, "IHardwareDevice::Read");
  }
  if (logging_writes_) {
    CLOG(LogDebug, "CombinerDevice::add_piece logging writes, so subscribing to new piece");
    // Both subscriptions must hold: a failed Read one is not hidden by a
    // Write one that succeeded.
    result =
        Subscriber<IHardwareDevice::Write>::subscribe(piece, DeliveryImmediate, "IHardwareDevice::Write") && result;
  }
  pieces_[bit] = std::move(piece);
  CLOG(LogDebug, "CombinerDevice::add_piece exit, ret=%d", result);
  return result;
}

bool CombinerDevice::remove_piece(const std::shared_ptr<IHardwareDevice>& piece) {
  CLOG(LogDebug, "CombinerDevice::remove_piece enter");
  const std::string path = piece->path();
  for (auto it = pieces_.begin(); it != pieces_.end(); ++it) {
    if (it->second && it->second->path() == path) {
      CLOG(LogDebug, "CombinerDevice::remove_piece erasing piece from device");
      std::shared_ptr<IHardwareDevice> removed = it->second;
      pieces_.erase(it);
      Subscriber<IHardwareDevice::Read>::unsubscribe(removed);
      Subscriber<IHardwareDevice::Write>::unsubscribe(removed);
      removed->close();
      break;
    }
  }
  CLOG(LogDebug, "CombinerDevice::remove_piece exit, is_empty=%d", pieces_.empty());
  return pieces_.empty();
}

bool CombinerDevice::open() {
  CLOG(LogDebug, "CombinerDevice::open enter");
  for (const auto& [bit, piece] : pieces_) {
    if (!piece->open()) {
      CLOG(LogDebug, "CombinerDevice::open exit (false, could not open a piece of device)");
      return false;
    }
  }
  CLOG(LogDebug, "CombinerDevice::open exit (true)");
  return true;
}

void CombinerDevice::close() {
  CLOG(LogDebug, "CombinerDevice::close enter");
  for (const auto& [bit, piece] : pieces_) piece->close();
  CLOG(LogDebug, "CombinerDevice::close exit");
}

bool CombinerDevice::write(std::vector<Byte> report, bool blocking) {
  if (blocking && !open()) {
    CLOG(LogDebug, "CombinerDevice::write open failed");
    return false;
  }
  CLOG(LogVerbose, "CombinerDevice::write enter");
  for (const auto& [bit, piece] : pieces_) {
    if (piece->report_length() >= static_cast<int>(report.size())) {
      const bool written = piece->write(std::move(report), blocking);
      if (written) {
        CLOG(LogVerbose, "CombinerDevice::write exit (true, wrote to device)");
      } else {
        CLOG(LogVerbose, "CombinerDevice::write exit (false, failed to write to device)");
      }
      return written;
    }
  }
  set_last_error(WriteExceedsCollectionSize);
  CLOG(LogDebug, "CombinerDevice::write exit (false, WriteExceedsCollectionSize)");
  return false;
}

std::weak_ptr<IHardwareBus> CombinerDevice::owning_bus() {
  std::shared_ptr<CombinerBus> bus = bus_.lock();
  return bus ? std::weak_ptr<IHardwareBus>(bus) : std::weak_ptr<IHardwareBus>();
}

bool CombinerDevice::verify_connection_following_timeout() {
  CLOG(LogDebug, "CombinerDevice::verify_connection_following_timeout() enter");
  bool result = true;
  for (const auto& [bit, piece] : pieces_) {
    if (!piece->verify_connection_following_timeout()) {
      CLOG(LogWarning, "CombinerDevice::verify_connection_following_timeout() returning false");
      result = false;
    }
  }
  CLOG(LogDebug, "CombinerDevice::verify_connection_following_timeout() exit, returning %d", result);
  return result;
}

void CombinerDevice::onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) {
  CLOG(LogVerbose, "CombinerDevice::onRead enter");
  CLOG(LogVerbose, "CombinerDevice::onRead producing read event");
  Producer<IHardwareDevice::Read>::produce(
      [report = std::move(report), routed, system_error, byte_count](IHardwareDevice::Read* s) {
        s->onRead(report, routed, system_error, byte_count);
      },
      "CombinerDevice::Read::onRead");
  CLOG(LogVerbose, "CombinerDevice::onRead exit");
}

void CombinerDevice::onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) {
  Producer<IHardwareDevice::Write>::produce(
      [report = std::move(report), result, system_error](IHardwareDevice::Write* s) {
        s->onWrite(report, result, system_error);
      },
      "CombinerDevice::Write::onWrite");
}

bool CombinerDevice::on_subscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  CLOG(LogDebug, "CombinerDevice::on_subscribe enter");
  reading_ = true;
  for (const auto& [bit, piece] : pieces_) {
    if (!piece) {
      CLOG(LogWarning, "CombinerDevice::on_subscribe (read) piece.second is nullptr");
      continue;
    }
    if (!Subscriber<IHardwareDevice::Read>::subscribe(piece, DeliveryImmediate, "")) {
      CLOG(LogDebug, "CombinerDevice::on_subscribe exit (false, could not subscribe to read a piece)");
      return false;
    }
    CLOG(LogDebug, "CombinerDevice::on_subscribe successfully subscribed to read a piece");
  }
  CLOG(LogDebug, "CombinerDevice::on_subscribe exit (true)");
  return true;
}

bool CombinerDevice::on_subscribe(Subscriber<IHardwareDevice::Write>* /*s*/) {
  CLOG(LogDebug, "CombinerDevice::on_subscribe enter");
  logging_writes_ = true;
  for (const auto& [bit, piece] : pieces_) {
    if (!piece) continue;
    if (!Subscriber<IHardwareDevice::Write>::subscribe(piece, DeliveryImmediate, "")) {
      CLOG(LogDebug, "CombinerDevice::on_subscribe exit (false, could not subscribe to writes from a piece)");
      return false;
    }
    CLOG(LogDebug, "CombinerDevice::on_subscribe successfully subscribed to writes from a piece");
  }
  CLOG(LogDebug, "CombinerDevice::on_subscribe exit (true)");
  return true;
}

void CombinerDevice::on_unsubscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  CLOG(LogDebug, "CombinerDevice::on_unsubscribe enter");
  if (Producer<IHardwareDevice::Read>::subscriber_count() > 0) {
    CLOG(LogDebug, "CombinerDevice::on_unsubscribe exit, still subscribers remaining");
    return;
  }
  reading_ = false;
  for (const auto& [bit, piece] : pieces_) {
    if (!piece) {
      CLOG(LogWarning, "CombinerDevice::on_unsubscribe (read) piece.second is nullptr");
      continue;
    }
    Subscriber<IHardwareDevice::Read>::unsubscribe(piece);
  }
  CLOG(LogDebug, "CombinerDevice::on_unsubscribe exit");
}

// The pieces' write outcomes are followed only while someone listens here,
// as their reads are.
void CombinerDevice::on_unsubscribe(Subscriber<IHardwareDevice::Write>* /*s*/) {
  CLOG(LogDebug, "CombinerDevice::on_unsubscribe enter");
  if (Producer<IHardwareDevice::Write>::subscriber_count() > 0) {
    CLOG(LogDebug, "CombinerDevice::on_unsubscribe exit, still subscribers remaining");
    return;
  }
  logging_writes_ = false;
  for (const auto& [bit, piece] : pieces_) {
    if (piece) Subscriber<IHardwareDevice::Write>::unsubscribe(piece);
  }
  CLOG(LogDebug, "CombinerDevice::on_unsubscribe exit");
}

}  // namespace rodiz

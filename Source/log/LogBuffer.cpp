#include "log/LogBuffer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "log/XLogFormat.h"
#include "log/XLogPlatformSpecific.h"
#include "log/xLog.h"
#include "log/xLogInternal.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "xlog";
// Free text bytes a buffer always keeps, so that a full ring never looks empty.
constexpr std::int64_t kTextReserve = 100;
constexpr auto kIdleFlush = std::chrono::milliseconds(10000);
// How long the reader naps after it emptied the ring before it asks writers
// to wake it: while messages keep coming, writers then pay no wake-up (a
// system call and a thread switch per message), and a message waits at most
// this long before it reaches the file's buffer.
constexpr auto kReaderNap = std::chrono::milliseconds(1);

// Set while this thread holds the mutex that serialises draining (the log
// thread, or a writer draining after shutdown): a message the drain itself
// logs must not try to take it again.
thread_local bool t_is_log_thread = false;

// Drains under the Globals mutex, marking this thread as its holder.
class DrainLock {
 public:
  explicit DrainLock(std::mutex& mutex) : guard_(mutex), was_(t_is_log_thread) { t_is_log_thread = true; }
  ~DrainLock() { t_is_log_thread = was_; }
  DrainLock(const DrainLock&) = delete;
  DrainLock& operator=(const DrainLock&) = delete;

 private:
  std::lock_guard<std::mutex> guard_;
  const bool was_;
};
// Set while this thread reports a loss: a report that finds no room is not
// itself counted as a lost message.
thread_local bool t_reporting = false;

}  // namespace

// The process-wide log's state. Never destroyed: the thread-cleanup guard
// runs shutdown() while the application's main scope ends, and a process
// without the guard must not be forced out of a static destructor (which
// would also replace its exit status).
struct LogBuffer::Globals {
  // What every writer reads, on a line of its own.
  alignas(64) std::atomic<LogBuffer*> current{nullptr};
  std::atomic<long> overruns{0};
  // Set while the reader waits for a writer's notification; writers notify
  // only then.
  std::atomic<bool> reader_waiting{false};
  std::atomic<bool> shutting_down{false};
  std::atomic<bool> thread_failed{false};
  // From the log thread's start until it has drained and ended: while set,
  // a message written directly must first let the buffered ones out, so
  // that no thread's messages overtake each other in the file.
  std::atomic<bool> draining{false};
  // Replaced buffers still to be drained, oldest first; the reader's alone.
  alignas(64) std::deque<LogBuffer*> retired;
  // Drained buffers without their storage. Kept for the rest of the process:
  // a writer that loaded one as the current buffer just before it was
  // replaced may still try to reserve in it (and finds it sealed). Buffers
  // only grow, so there are a few dozen at most.
  std::vector<LogBuffer*> spent;
  // Set when a larger buffer could not be allocated: the current one stays.
  LogBuffer* growth_failed_for = nullptr;
  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  bool first_flush_logged = false;

  std::atomic<std::uint32_t> first_entries{kFirstEntryCount};
  std::atomic<std::uint32_t> first_text{kFirstTextSize};
  std::atomic<bool> reader_held{false};
};

class LogBuffer::FileSink : public LogBuffer::Sink {
 public:
  void write(const LogEntry& entry, const char* record) override {
    output_to_file(entry.monotonic_us, entry.wall_us, entry.thread_id, entry.level, record);
  }
};

LogBuffer::Globals& LogBuffer::globals() {
  static Globals* instance = new Globals;
  return *instance;
}

// ---------------------------------------------------------------------------
// One ring

LogBuffer::LogBuffer(std::uint32_t entry_count, std::uint32_t text_size)
    : entry_count_(entry_count),
      text_size_(text_size),
      storage_size_(std::size_t{entry_count} * sizeof(LogEntry) + text_size) {
  // Fresh pages that read as zeros: the text needs no clearing, and a writer
  // pays for a page only where the platform gives small ones.
  storage_ = XLogPlatformSpecific::allocate_ring(storage_size_);
  if (storage_ == nullptr) throw std::bad_alloc();
  entries_ = static_cast<LogEntry*>(storage_);
  for (std::uint32_t i = 0; i < entry_count; ++i) new (&entries_[i]) LogEntry;
  text_ = static_cast<char*>(storage_) + std::size_t{entry_count} * sizeof(LogEntry);
}

static_assert(std::is_trivially_destructible_v<LogBuffer::LogEntry>);

LogBuffer::~LogBuffer() { release_storage(); }

void LogBuffer::release_storage() {
  // The entries are trivially destructible.
  XLogPlatformSpecific::free_ring(storage_, storage_size_);
  storage_ = nullptr;
  entries_ = nullptr;
  text_ = nullptr;
}

// Sequentially consistent, as the reader's look before it sleeps must be.
std::uint32_t LogBuffer::used_entries() const {
  const std::uint64_t r = read_cursor_.load();
  const std::uint64_t w = write_cursor_.load();
  return (index_of(w) + entry_count_ - index_of(r)) % entry_count_;
}

std::uint32_t LogBuffer::used_text() const {
  const std::uint64_t r = read_cursor_.load(std::memory_order_acquire);
  const std::uint64_t w = write_cursor_.load(std::memory_order_acquire);
  return (position_of(w) + text_size_ - position_of(r)) % text_size_;
}

bool LogBuffer::try_insert(std::uint64_t monotonic_us, std::uint64_t wall_us, std::uint32_t thread_id,
                           std::uint32_t level, const char* tag, const char* function, const char* message,
                           std::uint32_t message_length) {
  const std::size_t tag_length = std::strlen(tag);
  const std::size_t function_length = std::strlen(function);
  const std::uint64_t wanted = std::uint64_t{tag_length} + function_length + message_length + 5;
  if (wanted + kTextReserve >= text_size_) return false;  // could never fit
  const auto size = static_cast<std::uint32_t>(wanted);

  std::uint64_t w = write_cursor_.load(std::memory_order_acquire);
  std::uint32_t index = 0;
  std::uint32_t position = 0;
  std::uint32_t skip = 0;
  for (;;) {
    if ((w & kSealed) != 0) return false;
    index = index_of(w);
    position = position_of(w);
    // A record never wraps: one that does not fit before the end starts at 0.
    skip = text_size_ - position < size ? text_size_ - position : 0;
    const std::uint64_t r = read_cursor_.load(std::memory_order_acquire);
    const std::uint32_t entries_used = (index + entry_count_ - index_of(r)) % entry_count_;
    const std::uint32_t text_used = (position + text_size_ - position_of(r)) % text_size_;
    const std::int64_t text_limit = std::int64_t{text_size_} - skip - size - kTextReserve;
    if (std::int64_t{text_used} >= text_limit || entries_used >= entry_count_ - 2) return false;
    const std::uint64_t next = pack((index + 1) % entry_count_, (position + skip + size) % text_size_);
    // Sequentially consistent: the reader announces its sleep and then looks
    // at this cursor; the writer reserves and then looks at the announcement.
    if (write_cursor_.compare_exchange_weak(w, next, std::memory_order_seq_cst, std::memory_order_acquire)) break;
  }

  LogEntry& entry = entries_[index];
  entry.skip = skip;
  entry.monotonic_us = monotonic_us;
  entry.wall_us = wall_us;
  entry.thread_id = thread_id;
  entry.level = level;
  entry.size = size;
  char* out = text_ + (skip != 0 ? 0 : position);
  *out++ = '-';
  std::memcpy(out, tag, tag_length);
  out += tag_length;
  *out++ = '-';
  *out++ = '\0';
  std::memcpy(out, function, function_length);
  out += function_length;
  *out++ = '\0';
  std::memcpy(out, message, message_length);
  out += message_length;
  *out = '\0';
  entry.ready.store(0, std::memory_order_release);
  return true;
}

bool LogBuffer::take_next(Sink& sink) {
  const std::uint64_t r = read_cursor_.load(std::memory_order_acquire);
  const std::uint64_t w = write_cursor_.load(std::memory_order_acquire);
  const std::uint32_t index = index_of(r);
  if (index == index_of(w)) return false;
  LogEntry& entry = entries_[index];
  // Still 1: reserved, not yet written; the reader must wait for it to keep
  // the order of reservation.
  if (entry.ready.exchange(1, std::memory_order_acq_rel) == 1) {
    std::this_thread::yield();
    return true;
  }
  const std::uint32_t position = position_of(r);
  sink.write(entry, text_ + (entry.skip != 0 ? 0 : position));
  read_cursor_.store(pack((index + 1) % entry_count_, (position + entry.skip + entry.size) % text_size_),
                     std::memory_order_release);
  return true;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> LogBuffer::grown_sizes(std::uint32_t entry_count,
                                                                              std::uint32_t text_size,
                                                                              std::uint32_t used_entries,
                                                                              std::uint32_t used_text) {
  const std::uint32_t entry_threshold = (entry_count / 3) * 2;
  const std::uint32_t text_threshold = (text_size / 3) * 2;
  const bool entries_crossed = used_entries >= entry_count - entry_threshold;
  const bool text_crossed = used_text >= text_size - text_threshold;
  if (!entries_crossed && !text_crossed) return std::nullopt;
  // Saturate rather than wrap: a buffer that cannot grow further keeps its size.
  auto grow = [](std::uint32_t value, std::uint32_t factor) {
    const std::uint64_t grown = std::uint64_t{value} * factor;
    return grown > 0x7FFFFFFFu ? value : static_cast<std::uint32_t>(grown);
  };
  const std::uint32_t entries = grow(entry_count, entries_crossed ? 3 : 2);
  const std::uint32_t text = grow(text_size, text_crossed ? 3 : 2);
  // A replacement of the same size would only be made again and again.
  if (entries == entry_count && text == text_size) return std::nullopt;
  return std::make_pair(entries, text);
}

// ---------------------------------------------------------------------------
// The process-wide log

bool LogBuffer::synchronous() { return globals().shutting_down.load(std::memory_order_relaxed); }

void LogBuffer::report_overruns() {
  Globals& g = globals();
  const long lost = g.overruns.exchange(0);
  if (lost == 0) return;
  t_reporting = true;
  const bool reported =
      xLogWrite(kTag, LogError, "rodiz::LogBuffer::report_overruns",
                "xLog overrun detected by reader, lost %d messages around this time", static_cast<int>(lost));
  t_reporting = false;
  if (!reported) g.overruns.fetch_add(lost);
}

LogBuffer* LogBuffer::current_buffer() {
  Globals& g = globals();
  for (;;) {
    if (LogBuffer* current = g.current.load(std::memory_order_acquire)) return current;
    auto* fresh = new LogBuffer(g.first_entries.load(), g.first_text.load());
    LogBuffer* expected = nullptr;
    if (!g.current.compare_exchange_strong(expected, fresh)) {
      delete fresh;
      continue;
    }
    try {
      g.draining.store(true);
      g.thread = std::thread(&LogBuffer::logthreadproc);
      Vs2003SingletonThreadCleanup::register_cleanup([] { LogBuffer::shutdown(); });
    } catch (const std::system_error&) {
      // Without a log thread nobody would drain: write on the callers' threads.
      g.draining.store(false);
      g.thread_failed.store(true);
    }
    return fresh;
  }
}

bool LogBuffer::has_work() {
  Globals& g = globals();
  for (const LogBuffer* old : g.retired) {
    if (!old->empty()) return true;
  }
  const LogBuffer* current = g.current.load();
  return current != nullptr && !current->empty();
}

namespace {

// The synchronous path: formatted, written and flushed on the caller's thread.
void write_now(unsigned long long monotonic_us, unsigned long long wall_us, unsigned thread_id, unsigned level,
               const char* tag, const char* function, const char* message) {
  // Three spare zeros: a record cut short by the buffer still reads as three
  // terminated strings.
  char record[XLogFormat::kBufferSize + 3];
  const std::size_t length = XLogFormat::format(record, "-%s-%c%s%c%s", tag, '\0', function, '\0', message);
  std::memset(record + length, 0, 3);
  output_to_file(monotonic_us, wall_us, thread_id, level, record);
  xLogFlushFile("insert");
}

}  // namespace

bool LogBuffer::insert(unsigned long long monotonic_us, unsigned long long wall_us, unsigned thread_id, unsigned level,
                       const char* tag, const char* function, const char* message, unsigned message_length) {
  Globals& g = globals();
  if (g.shutting_down.load(std::memory_order_acquire)) {
    if (!t_is_log_thread && g.draining.load()) {
      DrainLock guard(g.mutex);
      while (output_from_oldest_buffer()) {
      }
    }
    if (!t_reporting && g.overruns.load(std::memory_order_relaxed) != 0) report_overruns();
    write_now(monotonic_us, wall_us, thread_id, level, tag, function, message);
    return true;
  }
  // A loss is reported by the next message that finds room, ahead of it.
  if (!t_reporting && g.overruns.load(std::memory_order_relaxed) != 0) report_overruns();
  // The only contended step is the reservation inside try_insert: no
  // counter of writers or of messages is shared, so a writer on another
  // core costs this one a single cache line.
  for (;;) {
    LogBuffer* buffer = current_buffer();
    if (g.thread_failed.load(std::memory_order_relaxed)) {
      write_now(monotonic_us, wall_us, thread_id, level, tag, function, message);
      return true;
    }
    if (buffer->try_insert(monotonic_us, wall_us, thread_id, level, tag, function, message, message_length)) break;
    // Replaced and sealed meanwhile: the reader installed a larger one.
    if (buffer->sealed()) continue;
    if (!t_reporting) g.overruns.fetch_add(1);
    return false;
  }
  // Sequentially consistent with the reader's announcement and its look at
  // the cursors: either it sees this message or this writer sees it waiting.
  if (g.reader_waiting.load()) g.wake.notify_one();
  // Shut down meanwhile: the log thread may already be gone, so this writer
  // drains, one drainer at a time.
  if (g.shutting_down.load(std::memory_order_acquire) && !t_is_log_thread) {
    DrainLock guard(g.mutex);
    while (output_from_oldest_buffer()) {
    }
  }
  return true;
}

bool LogBuffer::output_from_oldest_buffer() {
  Globals& g = globals();
  FileSink sink;
  LogBuffer* current = g.current.load(std::memory_order_acquire);
  if (current != nullptr && current != g.growth_failed_for) {
    const std::uint32_t used_entries = current->used_entries();
    const std::uint32_t used_text = current->used_text();
    if (auto sizes = grown_sizes(current->entry_count(), current->text_size(), used_entries, used_text)) {
      report_overruns();
      LogBuffer* bigger = nullptr;
      try {
        bigger = new LogBuffer(sizes->first, sizes->second);
      } catch (const std::bad_alloc&) {
        // No memory for a larger ring: this one goes on, full or not, and is
        // not offered to grow again.
        g.growth_failed_for = current;
      }
      LogBuffer* expected = current;
      if (bigger != nullptr && g.current.compare_exchange_strong(expected, bigger)) {
        current->seal();
        g.retired.push_back(current);
        xLogWrite(kTag, LogInfo, "rodiz::LogBuffer::output_from_oldest_buffer",
                  "xLog enlarged buffer from %u/%u to %u/%u, currently using %u/%u", current->entry_count(),
                  current->text_size(), bigger->entry_count(), bigger->text_size(), used_entries, used_text);
        current = bigger;
      } else {
        delete bigger;
        xLogWrite(kTag, LogError, "rodiz::LogBuffer::output_from_oldest_buffer", "xLog logbuffer update failed");
        current = g.current.load(std::memory_order_acquire);
      }
    }
  }

  // Retired buffers first, oldest first, so that each thread's messages come
  // out in the order it wrote them. A retired buffer is sealed, so once it is
  // empty nothing more can appear in it.
  while (!g.retired.empty()) {
    LogBuffer* old = g.retired.front();
    if (old->take_next(sink)) return true;
    xLogWrite(kTag, LogInfo, "rodiz::LogBuffer::output_from_oldest_buffer",
              "xLog deleting old log buffer containing %u/%u", old->used_entries(), old->used_text());
    g.retired.pop_front();
    old->release_storage();
    g.spent.push_back(old);
  }
  return current != nullptr && current->take_next(sink);
}

void LogBuffer::logthreadproc() {
  constexpr const char* kFunction = "rodiz::LogBuffer::logthreadproc";
  t_is_log_thread = true;
  XLogPlatformSpecific::lower_thread_priority();
  Globals& g = globals();
  std::unique_lock<std::mutex> lock(g.mutex);
  for (;;) {
    if (g.shutting_down.load() && !has_work()) break;
    if (g.reader_held.load() && !g.shutting_down.load()) {
      g.wake.wait_for(lock, std::chrono::milliseconds(5), [&] { return !g.reader_held.load(); });
      continue;
    }
    if (output_from_oldest_buffer()) continue;
    // A nap first, unannounced: only shutdown ends it early.
    g.wake.wait_for(lock, kReaderNap, [&] { return g.shutting_down.load(); });
    if (g.shutting_down.load() || has_work()) continue;
    g.reader_waiting.store(true);
    const bool woken = g.wake.wait_for(lock, kIdleFlush, [&] { return g.shutting_down.load() || has_work(); });
    g.reader_waiting.store(false);
    if (woken) continue;
    xLogFlushFile("logthreadproc");
    if (!g.first_flush_logged) {
      g.first_flush_logged = true;
      xLogWrite(kTag, LogInfo, kFunction, "First flush");
    }
  }
  xLogWrite(kTag, LogInfo, kFunction, "log thread exiting");
  g.draining.store(false);
}

void LogBuffer::shutdown() {
  constexpr const char* kFunction = "rodiz::LogBuffer::shutdown";
  Globals& g = globals();
  if (g.shutting_down.load()) {
    xLogWrite(kTag, LogInfo, kFunction, "already shut down");
    return;
  }
  if (g.shutting_down.exchange(true)) return;
  xLogWrite(kTag, LogInfo, kFunction, "_shutdown set to true");
  { std::lock_guard<std::mutex> guard(g.mutex); }
  xLogWrite(kTag, LogInfo, kFunction, "notifying logging thread of shutdown");
  g.wake.notify_all();
  if (g.thread.joinable()) {
    Vs2003SingletonThreadCleanup::about_to_join();
    xLogWrite(kTag, LogInfo, kFunction, "joining log thread");
    g.thread.join();
  }
  // The tag sets stay: a thread that tested the mode just before may still read them.
  xLogWrite(kTag, LogInfo, kFunction, "freeing tag info");
  xLogWrite(kTag, LogInfo, kFunction, "logging is now direct to file, all tags enabled");
}

// ---------------------------------------------------------------------------
// Test seams

void LogBuffer::drain_for_testing() {
  Globals& g = globals();
  {
    DrainLock guard(g.mutex);
    while (output_from_oldest_buffer() || has_work()) {
    }
  }
  xLogFlushFile("drain_for_testing");
}

void LogBuffer::configure_for_testing(std::uint32_t entry_count, std::uint32_t text_size, bool reader_held) {
  Globals& g = globals();
  g.first_entries.store(entry_count);
  g.first_text.store(text_size);
  g.reader_held.store(reader_held);
  g.wake.notify_all();
}

void LogBuffer::reset_for_testing() {
  Globals& g = globals();
  g.shutting_down.store(true);
  { std::lock_guard<std::mutex> guard(g.mutex); }
  g.wake.notify_all();
  if (g.thread.joinable()) g.thread.join();
  {
    DrainLock guard(g.mutex);
    while (output_from_oldest_buffer()) {
    }
    for (LogBuffer* old : g.retired) delete old;
    g.retired.clear();
    for (LogBuffer* old : g.spent) delete old;
    g.spent.clear();
    g.growth_failed_for = nullptr;
    delete g.current.exchange(nullptr);
  }
  g.overruns.store(0);
  g.thread_failed.store(false);
  g.draining.store(false);
  g.first_flush_logged = false;
  g.shutting_down.store(false);
}

}  // namespace rodiz

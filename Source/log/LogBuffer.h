#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace rodiz {

// Where file messages go. Any number of threads write records into a
// lock-free ring of fixed-size entries and a ring of text bytes; one log
// thread of the lowest priority takes them in the order they were reserved
// and writes them to the log file. A buffer found a third full is replaced
// by a larger one (the old one is drained first); a message that finds the
// buffer full is dropped, counted, and the count reported by a later line.
// After shutdown() the log is synchronous: each message is written and
// flushed before xLogWrite returns.
//
// The static operations are the process-wide log; an instance is one ring,
// which tests may drive on its own.
class LogBuffer {
 public:
  // One message's slot. `ready` is 1 while the slot is free or reserved and
  // not yet written, 0 once the writer has published it. A slot has a cache
  // line of its own: writers on other cores fill neighbouring slots at once.
  struct alignas(64) LogEntry {
    std::uint32_t skip = 0;  // bytes left empty at the end of the text ring before this record
    std::uint64_t monotonic_us = 0;
    std::uint64_t wall_us = 0;
    std::uint32_t thread_id = 0;
    std::uint32_t level = 0;
    std::uint32_t size = 0;  // of the record text
    std::atomic<std::uint32_t> ready{1};
  };

  // Receives the records a reader takes, in reservation order. `record` is
  // "-tag-", NUL, function, NUL, message, NUL.
  class Sink {
   public:
    virtual void write(const LogEntry& entry, const char* record) = 0;

   protected:
    virtual ~Sink() = default;
  };

  static constexpr std::uint32_t kFirstEntryCount = 30000;
  static constexpr std::uint32_t kFirstTextSize = 3000000;

  // `text_size` is below 2^31 (the cursor's top bit marks a sealed ring).
  // Throws std::bad_alloc when the memory cannot be had.
  LogBuffer(std::uint32_t entry_count, std::uint32_t text_size);
  ~LogBuffer();
  LogBuffer(const LogBuffer&) = delete;
  LogBuffer& operator=(const LogBuffer&) = delete;

  // --- one ring (any thread writes, one thread reads)

  // Stores one record; false when the ring is full or sealed (nothing is
  // changed).
  [[nodiscard]] bool try_insert(std::uint64_t monotonic_us, std::uint64_t wall_us, std::uint32_t thread_id,
                                std::uint32_t level, const char* tag, const char* function, const char* message,
                                std::uint32_t message_length);
  // Hands the oldest record to `sink`. False when the ring is empty; true
  // when a record was taken or the oldest one is reserved but not yet
  // written (the caller comes back at once).
  bool take_next(Sink& sink);
  std::uint32_t used_entries() const;
  std::uint32_t used_text() const;
  std::uint32_t entry_count() const { return entry_count_; }
  std::uint32_t text_size() const { return text_size_; }
  bool empty() const { return used_entries() == 0; }
  // Closes the ring to writers: a writer that reserves afterwards finds it
  // sealed and goes to the current ring. Records reserved before stay and
  // are taken as usual; once the ring is empty, nothing more can appear.
  void seal() { write_cursor_.fetch_or(kSealed); }
  bool sealed() const { return (write_cursor_.load(std::memory_order_acquire) & kSealed) != 0; }
  // Frees the entries and the text of a sealed, empty ring. The ring itself
  // stays valid for writers that still hold it: they find it sealed.
  void release_storage();
  // The sizes of the ring that replaces one of `entry_count` and `text_size`
  // holding `used_entries` and `used_text`, or nothing while it is below a
  // third full: three times in the dimension that crossed its threshold,
  // twice in the other.
  static std::optional<std::pair<std::uint32_t, std::uint32_t>> grown_sizes(std::uint32_t entry_count,
                                                                            std::uint32_t text_size,
                                                                            std::uint32_t used_entries,
                                                                            std::uint32_t used_text);

  // --- the process-wide log

  // Stores one message for the log thread (or, after shutdown, writes it at
  // once). False when it was dropped because the buffer was full.
  static bool insert(unsigned long long monotonic_us, unsigned long long wall_us, unsigned thread_id, unsigned level,
                     const char* tag, const char* function, const char* message, unsigned message_length);
  // One pass of the reader over the retired buffers and the current one;
  // true when it made progress or must be called again at once.
  static bool output_from_oldest_buffer();
  // Logs how many messages were lost since the last report, if any.
  static void report_overruns();
  // Joins the log thread after it has written every pending message, and
  // makes the log synchronous from then on. A second call changes nothing.
  static void shutdown();
  // True from shutdown() on.
  static bool synchronous();

 private:
  friend class XLogTesting;
  struct Globals;
  class FileSink;
  static Globals& globals();

  static void logthreadproc();
  // The current buffer; the first message creates it and starts the log
  // thread.
  static LogBuffer* current_buffer();
  // Whether a ring still holds a reserved message (the reader's own view).
  static bool has_work();
  // Writes every published message and flushes the file (tests only).
  static void drain_for_testing();
  static void reset_for_testing();
  // The first buffer's sizes and whether the log thread may drain (tests only).
  static void configure_for_testing(std::uint32_t entry_count, std::uint32_t text_size, bool reader_held);

  static std::uint64_t pack(std::uint32_t index, std::uint32_t position) {
    return (static_cast<std::uint64_t>(position) << 32) | index;
  }
  static std::uint32_t index_of(std::uint64_t cursor) { return static_cast<std::uint32_t>(cursor); }
  static std::uint32_t position_of(std::uint64_t cursor) {
    return static_cast<std::uint32_t>(cursor >> 32) & 0x7FFFFFFFu;
  }
  static constexpr std::uint64_t kSealed = std::uint64_t{1} << 63;

  const std::uint32_t entry_count_;
  const std::uint32_t text_size_;
  // One block of the platform's ring memory: the entries, then the text.
  std::size_t storage_size_ = 0;
  void* storage_ = nullptr;
  LogEntry* entries_ = nullptr;
  char* text_ = nullptr;
  // Apart from each other: the reader moves its cursor once per message and
  // must not take the writers' cache line from them each time.
  alignas(64) std::atomic<std::uint64_t> read_cursor_{0};
  // The writers' one contended word; the top bit seals the ring.
  alignas(64) std::atomic<std::uint64_t> write_cursor_{0};
};

}  // namespace rodiz

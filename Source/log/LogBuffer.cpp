#include "log/LogBuffer.h"

#include <atomic>
#include <cstring>

#include "log/XLogFormat.h"
#include "log/xLog.h"
#include "log/xLogInternal.h"

namespace rodiz {

namespace {
constinit std::atomic<bool> g_shutdown{false};
}  // namespace

bool LogBuffer::insert(unsigned long long monotonic_us, unsigned long long wall_us, unsigned thread_id, unsigned level,
                       const char* tag, const char* function, const char* message, unsigned /*message_length*/) {
  // Three spare zeros: a record cut short by the buffer still reads as three
  // terminated strings.
  char record[XLogFormat::kBufferSize + 3];
  const std::size_t length = XLogFormat::format(record, "-%s-%c%s%c%s", tag, '\0', function, '\0', message);
  std::memset(record + length, 0, 3);
  output_to_file(monotonic_us, wall_us, thread_id, level, record);
  // Until the log thread exists nothing else would flush: a crash must not
  // take the last lines with it.
  xLogFlushFile("insert");
  return true;
}

void LogBuffer::shutdown() {
  constexpr const char* kFunction = "rodiz::LogBuffer::shutdown";
  if (g_shutdown.load()) {
    xLogWrite("xlog", LogInfo, kFunction, "already shut down");
    return;
  }
  if (g_shutdown.exchange(true)) return;
  xLogWrite("xlog", LogInfo, kFunction, "_shutdown set to true");
  // The tag sets stay: a thread that tested the mode just before may still read them.
  xLogWrite("xlog", LogInfo, kFunction, "logging is now direct to file, all tags enabled");
}

bool LogBuffer::synchronous() { return g_shutdown.load(std::memory_order_relaxed); }

void LogBuffer::reset_for_testing() { g_shutdown.store(false); }

}  // namespace rodiz

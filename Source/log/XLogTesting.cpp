#include "log/XLogTesting.h"

#include "log/LogBuffer.h"
#include "log/xLogInternal.h"

namespace rodiz {

void XLogTesting::set_console_sink(ConsoleSink sink) { xLogSetConsoleSink(std::move(sink)); }

void XLogTesting::reset(const std::string& settings_key) {
  // The log thread first: what it still holds goes to the file before it closes.
  LogBuffer::reset_for_testing();
  xLogResetForTesting(settings_key);
}

void XLogTesting::flush() { LogBuffer::drain_for_testing(); }

void XLogTesting::configure_buffer(std::uint32_t entry_count, std::uint32_t text_size, bool reader_held) {
  LogBuffer::configure_for_testing(entry_count, text_size, reader_held);
}

std::string XLogTesting::log_file_path() { return xLogFilePath(); }

bool XLogTesting::replace_log_file(const std::string& path) { return xLogReplaceFile(path); }

}  // namespace rodiz

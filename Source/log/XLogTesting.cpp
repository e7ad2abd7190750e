#include "log/XLogTesting.h"

#include "log/LogBuffer.h"
#include "log/xLogInternal.h"

namespace rodiz {

void XLogTesting::set_console_sink(ConsoleSink sink) { xLogSetConsoleSink(std::move(sink)); }

void XLogTesting::reset(const std::string& settings_key) {
  xLogResetForTesting(settings_key);
  LogBuffer::reset_for_testing();
}

std::string XLogTesting::log_file_path() { return xLogFilePath(); }

bool XLogTesting::replace_log_file(const std::string& path) { return xLogReplaceFile(path); }

}  // namespace rodiz

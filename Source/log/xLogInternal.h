#pragma once

#include <functional>
#include <string>

// The log's entry points for the log buffer and for tests; nothing else of
// the library calls these.
namespace rodiz {

// Opens the file, writes the header, purges old files and, where the platform
// caps the folder, keeps it under its cap; run by the first
// xLogWrite when logging is on.
void xLogInit();
// Writes one record ("-tag-", NUL, function, NUL, message, NUL) as file lines;
// nothing when no file is open.
void output_to_file(unsigned long long monotonic_us, unsigned long long wall_us, unsigned thread_id, unsigned level,
                    const char* record);
// After a failed write or flush of the file: closes it for good and logs why,
// from the C library's error number at the time of the call.
void LogFpErrorAndClose(const char* operation, const char* where);
// Flushes the open file; a failure goes to LogFpErrorAndClose("fflush", where).
void xLogFlushFile(const char* where);

// Test seams, see XLogTesting.
using XLogConsoleSink = std::function<void(unsigned output, const std::string& line)>;
void xLogResetForTesting(const std::string& settings_key);
void xLogSetConsoleSink(XLogConsoleSink sink);
std::string xLogFilePath();
bool xLogReplaceFile(const std::string& path);

}  // namespace rodiz

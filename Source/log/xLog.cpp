#include "log/xLog.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "log/LogBuffer.h"
#include "log/XLogFormat.h"
#include "log/XLogPlatformSpecific.h"
#include "log/XLogSettings.h"
#include "log/xLogInternal.h"

namespace rodiz {

namespace {

constexpr const char* kNamespace = "rodiz";
constexpr const char* kKeyPrefix = "SOFTWARE\\Orvantis\\xLog\\rodiz\\";
constexpr std::size_t kMaxProcname = 19;

// The values the filter of every call reads. Written only while the first
// call holds init_lock(), before g_ready is set; read only after.
struct Filter {
  bool enabled = XLogSettings::kDefaultEnabled != 0;
  unsigned logginglevel = XLogSettings::kDefaultLevel;
  unsigned loggingoutput = XLogSettings::kDefaultOutput;
  unsigned logTagLevel = XLogSettings::kDefaultTagLevel;
  unsigned fileLevel = XLogSettings::kDefaultFileLevel;
};

// A message logged while the settings are being read: the settings store may
// log, and the log cannot write before it knows where.
struct Deferred {
  std::string tag;
  unsigned level;
  std::string function;
  std::string message;
};

struct State {
  XLogSettings settings;
  std::string settings_key;  // empty: the executable's own key
  std::string procname;
  std::string module_path;
  unsigned process_id = 0;
  std::vector<Deferred> deferred;

  // The file. Several threads write it for now, and an error closes it from
  // whichever thread met it: the lock keeps a close from pulling the stream
  // from under another writer, and the lines of one message together.
  std::mutex file_lock;
  std::FILE* file = nullptr;
  std::string file_path;
  std::time_t wall_second = -1;
  char wall_text[32] = {};
};

// Never destroyed: static destructors log after every other object is gone.
State& state() {
  static State* instance = new State;
  return *instance;
}

// Serialises first calls. std::mutex is not constant-initialised on every
// platform, so it is made on first use, and never destroyed.
std::mutex& init_lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Constant-initialised, so usable from any static initialiser.
constinit std::atomic<bool> g_ready{false};
constinit std::atomic<bool> g_file_open{false};
constinit Filter g_filter;
constinit std::atomic<XLogConsoleSink*> g_console_sink{nullptr};

enum InitPhase { kNotInitialising, kReadingSettings, kWritingHeader };
thread_local InitPhase t_phase = kNotInitialising;

std::string file_name_of(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// Letters, digits and dots of the executable's name, at most 19, up to the first dot.
std::string derive_procname(const std::string& module_path) {
  std::string name;
  for (char c : file_name_of(module_path)) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
    if (!kept) continue;
    if (name.size() == kMaxProcname) break;
    name += c;
  }
  const std::size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

unsigned long long monotonic_us() {
  return static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

unsigned long long wall_us() {
  return static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

// The log thread writes a line at a time and flushes only when idle: a
// larger stream buffer saves it most of its write calls.
std::FILE* open_file(const std::string& path) {
  constexpr std::size_t kStreamBuffer = 64 * 1024;
  std::FILE* file = XLogPlatformSpecific::open_log_file(path);
  if (file != nullptr) (void)std::setvbuf(file, nullptr, _IOFBF, kStreamBuffer);
  return file;
}

void first_call() {
  std::lock_guard<std::mutex> guard(init_lock());
  if (g_ready.load(std::memory_order_acquire)) return;
  State& s = state();
  t_phase = kReadingSettings;
  s.settings = XLogSettings();
  s.settings.read(s.settings_key.empty() ? kKeyPrefix + file_name_of(XLogPlatformSpecific::module_path())
                                         : s.settings_key);
  g_filter.enabled = s.settings.enabled;
  g_filter.logginglevel = s.settings.logginglevel;
  g_filter.loggingoutput = s.settings.loggingoutput;
  g_filter.logTagLevel = s.settings.logTagLevel;
  g_filter.fileLevel = s.settings.fileLevel;
  t_phase = kWritingHeader;
  if (g_filter.enabled) xLogInit();
  t_phase = kNotInitialising;
  g_ready.store(true, std::memory_order_release);
  std::vector<Deferred> deferred;
  deferred.swap(s.deferred);
  for (const Deferred& d : deferred) xLogWrite(d.tag.c_str(), d.level, d.function.c_str(), "%s", d.message.c_str());
}

void write_console(unsigned output, unsigned level, const char* function, const char* message) {
  const std::string_view short_name = XLogFormat::short_name(function);
  const std::string_view tag = XLogFormat::inline_tag(message);
  const char* text = XLogFormat::clean_message(tag.empty() ? message : message + tag.size() + 3, short_name);
  // One line per message: a message's own final newline is not doubled.
  std::size_t text_length = std::strlen(text);
  if (text_length > 0 && text[text_length - 1] == '\n') --text_length;
  char line[XLogFormat::kBufferSize];
  const auto short_length = static_cast<int>(short_name.size());
  const auto length = static_cast<int>(text_length);
  const std::size_t size =
      tag.empty() ? XLogFormat::format(line, "%s - %.*s %.*s\n", XLogFormat::level_name(level), short_length,
                                       short_name.data(), length, text)
                  : XLogFormat::format(line, "%s - %.*s -%.*s- %.*s\n", XLogFormat::level_name(level), short_length,
                                       short_name.data(), static_cast<int>(tag.size()), tag.data(), length, text);
  if (XLogConsoleSink* sink = g_console_sink.load(std::memory_order_acquire)) {
    const std::string copy(line, size);
    if (output & XLogSettings::kStandardOutput) (*sink)(XLogSettings::kStandardOutput, copy);
    if (output & XLogSettings::kDebuggerOutput) (*sink)(XLogSettings::kDebuggerOutput, copy);
    return;
  }
  if (output & XLogSettings::kStandardOutput) {
    std::fwrite(line, 1, size, stdout);
    if (LogBuffer::synchronous()) std::fflush(stdout);
  }
  if (output & XLogSettings::kDebuggerOutput) XLogPlatformSpecific::debugger_output(line, size);
}

}  // namespace

bool xLogWrite(const char* tag, unsigned level, const char* function, const char* format, ...) {
  if (!g_ready.load(std::memory_order_acquire)) {
    if (t_phase == kReadingSettings) {
      char message[XLogFormat::kBufferSize];
      va_list args;
      va_start(args, format);
      XLogFormat::vformat(message, format ? format : "", args);
      va_end(args);
      state().deferred.push_back(Deferred{tag ? tag : "", level, function ? function : "", message});
      return true;
    }
    if (t_phase == kNotInitialising) first_call();
  }
  if (!g_filter.enabled) return true;
  const unsigned output = g_filter.loggingoutput;
  bool console =
      (output & (XLogSettings::kStandardOutput | XLogSettings::kDebuggerOutput)) != 0 && level <= g_filter.logTagLevel;
  // A closed file wants nothing: no need to format for it.
  const bool file = (output & XLogSettings::kFileOutput) != 0 && level <= g_filter.fileLevel &&
                    g_file_open.load(std::memory_order_relaxed);
  if (!console && !file) return true;
  if (tag == nullptr) tag = "";
  if (function == nullptr) function = "";
  if (format == nullptr) format = "";
  if (console && level > g_filter.logginglevel && !LogBuffer::synchronous()) {
    std::string_view shown = XLogFormat::inline_tag(format);
    if (shown.empty()) shown = tag;
    if (!shown.empty() && !state().settings.tag_shown(shown)) console = false;
  }
  if (!console && !file) return true;

  char message[XLogFormat::kBufferSize];
  va_list args;
  va_start(args, format);
  const std::size_t length = XLogFormat::vformat(message, format, args);
  va_end(args);
  if (file && !LogBuffer::insert(monotonic_us(), wall_us(), XLogPlatformSpecific::thread_id(), level, tag, function,
                                 message, static_cast<unsigned>(length))) {
    return false;
  }
  if (console) write_console(output, level, function, message);
  return true;
}

bool xAssert(bool condition, const char* expression, const char* file, int line) {
  if (condition) return false;
  xLogWrite("xlog", LogError, "rodiz::xAssert", "%s(%d): ASSERT FAILURE! Expression: %s\n", file, line, expression);
  return true;
}

void xLogInit() {
  constexpr const char* kFunction = "rodiz::xLogInit";
  State& s = state();
  s.module_path = XLogPlatformSpecific::module_path();
  s.procname = derive_procname(s.module_path);
  s.process_id = XLogPlatformSpecific::process_id();
  const std::time_t now = std::time(nullptr);
  const bool file_wanted = (g_filter.loggingoutput & XLogSettings::kFileOutput) != 0;

  std::string path;
  if (file_wanted) {
    std::string directory;
    if (!XLogPlatformSpecific::log_directory(&directory)) {
      xLogWrite("xlog", LogError, kFunction, "Could not get path for log files");
    } else {
      char start[32] = "";
      XLogPlatformSpecific::format_local_time(now, "%Y%m%d_%H%M%S", start, sizeof start);
      char name[XLogFormat::kBufferSize];
      XLogFormat::format(name, "xlog_%s_%u_%s_%s.dblog", start, s.process_id, s.procname.c_str(), kNamespace);
      path = directory + name;
      std::FILE* file = open_file(path);
      if (file == nullptr) {
        xLogWrite("xlog", LogError, kFunction, "Could not create log file %s", path.c_str());
        path.clear();
      } else {
        std::lock_guard<std::mutex> guard(s.file_lock);
        s.file = file;
        s.file_path = path;
        g_file_open.store(true);
      }
    }
  }

  char text[XLogFormat::kBufferSize];
  xLogWrite("xlog", LogInfo, kFunction, "----------------------------------------");
  if (XLogPlatformSpecific::format_local_time(now, "%c %Z", text, sizeof text)) {
    xLogWrite("xlog", LogInfo, kFunction, "%s", text);
  }
  // These lines pass the tag filter whatever the settings.
  const unsigned logginglevel = g_filter.logginglevel;
  const unsigned fileLevel = g_filter.fileLevel;
  g_filter.logginglevel = LogInfo;
  g_filter.fileLevel = LogInfo;
  xLogWrite("xlog", LogInfo, kFunction, "procname=%s namespace=%s logginglevel=%d loggingoutput=%d fileLevel=%d",
            s.procname.c_str(), kNamespace, static_cast<int>(logginglevel), static_cast<int>(g_filter.loggingoutput),
            static_cast<int>(fileLevel));
  xLogWrite("xlog", LogInfo, kFunction, "defaultEnabled=%d, defaultOutput=%d, defaultLevel=%d, defaultFileLevel=%d",
            static_cast<int>(XLogSettings::kDefaultEnabled), static_cast<int>(XLogSettings::kDefaultOutput),
            static_cast<int>(XLogSettings::kDefaultLevel), static_cast<int>(XLogSettings::kDefaultFileLevel));
  if (!path.empty()) xLogWrite("xlog", LogInfo, kFunction, "logfile=%s", path.c_str());
  g_filter.logginglevel = logginglevel;
  g_filter.fileLevel = fileLevel;

  if (!s.module_path.empty() && s.module_path.size() != s.procname.size()) {
    xLogWrite("xlog", LogInfo, kFunction, "exe=%s", s.module_path.c_str());
  }
  if (const auto created = XLogPlatformSpecific::process_creation_time()) {
    constexpr unsigned long long kEpochDifferenceUs = 11644473600000000ull;
    const unsigned long long created_us = *created / 10;
    if (created_us > kEpochDifferenceUs &&
        XLogPlatformSpecific::format_local_time(static_cast<std::time_t>((created_us - kEpochDifferenceUs) / 1000000),
                                                "%c %Z", text, sizeof text)) {
      xLogWrite("xlog", LogInfo, kFunction, "procstart=%s", text);
    }
  }
  xLogWrite("xlog", LogInfo, kFunction, "tags=%s", s.settings.describe_tags().c_str());
  if (file_wanted) {
    const std::uint64_t cap_bytes =
        XLogPlatformSpecific::caps_log_folder() ? s.settings.logFolderCapMB * XLogPlatformSpecific::kBytesPerMB : 0;
    XLogPlatformSpecific::tidyLogFolder(s.procname.c_str(), kNamespace, cap_bytes,
                                        path.empty() ? std::string() : file_name_of(path));
  }
}

void output_to_file(unsigned long long monotonic_us, unsigned long long wall_us, unsigned thread_id, unsigned level,
                    const char* record) {
  State& s = state();
  std::unique_lock<std::mutex> guard(s.file_lock);
  if (s.file == nullptr) return;

  // The record: "-tag-", NUL, function, NUL, message, NUL.
  const char* tag_column = record;
  std::size_t tag_length = std::strlen(record);
  const char* function = record + tag_length + 1;
  const char* message = function + std::strlen(function) + 1;
  const std::string_view inline_tag = XLogFormat::inline_tag(message);
  if (!inline_tag.empty()) {
    tag_column = message;
    tag_length = inline_tag.size() + 2;
    message += inline_tag.size() + 3;
  }
  const std::string_view short_name = XLogFormat::short_name(function);
  message = XLogFormat::clean_message(message, short_name);

  // Local time costs a time zone lookup: once per second is enough.
  const auto seconds = static_cast<std::time_t>(wall_us / 1000000);
  if (seconds != s.wall_second) {
    s.wall_second = seconds;
    if (!XLogPlatformSpecific::format_local_time(seconds, "%Y/%m/%d %H:%M:%S", s.wall_text, sizeof s.wall_text)) {
      s.wall_text[0] = '\0';
    }
  }
  const auto milliseconds = static_cast<unsigned>((wall_us / 1000) % 1000);
  const auto mono_seconds = monotonic_us / 1000000;
  const auto mono_micros = static_cast<unsigned>(monotonic_us % 1000000);

  const char* piece = message;
  bool first = true;
  for (;;) {
    const char* newline = std::strchr(piece, '\n');
    const std::size_t piece_length = newline ? static_cast<std::size_t>(newline - piece) : std::strlen(piece);
    // Room for the CR in front of the line's LF.
    char line[XLogFormat::kBufferSize + 1];
    std::size_t length = XLogFormat::format(
        line, "%llu.%06u\t%s.%03u\t%u\t<%05u>.%s.%s\t%u\t%-20.*s\t%.*s %.*s\n", mono_seconds, mono_micros, s.wall_text,
        milliseconds, s.process_id, thread_id, kNamespace, s.procname.c_str(), level, static_cast<int>(tag_length),
        tag_column, first ? static_cast<int>(short_name.size()) : 1, first ? short_name.data() : ">",
        static_cast<int>(piece_length), piece);
    // Lines end with CR LF on every platform, so one file reads the same everywhere.
    line[length - 1] = '\r';
    line[length++] = '\n';
    if (std::fwrite(line, 1, length, s.file) != length) {
      const int error = errno;
      guard.unlock();
      errno = error;
      LogFpErrorAndClose("fputs", "output_to_file");
      return;
    }
    if (newline == nullptr || newline[1] == '\0') break;
    piece = newline + 1;
    first = false;
  }
}

void LogFpErrorAndClose(const char* operation, const char* where) {
  const int error = errno;
  State& s = state();
  bool close_failed = false;
  int close_error = 0;
  {
    std::lock_guard<std::mutex> guard(s.file_lock);
    if (s.file != nullptr) {
      g_file_open.store(false);
      errno = 0;
      close_failed = std::fclose(s.file) != 0;
      close_error = errno;
      s.file = nullptr;
      s.file_path.clear();
    }
  }
  constexpr const char* kFunction = "rodiz::LogFpErrorAndClose";
  xLogWrite("xlog", LogError, kFunction, "%s failed in %s, errno=%d", operation, where, error);
  if (close_failed) {
    xLogWrite("xlog", LogError, kFunction, "fclose failed after %s failure in %s, errno=%d", operation, where,
              close_error);
  }
}

void xLogFlushFile(const char* where) {
  State& s = state();
  std::unique_lock<std::mutex> guard(s.file_lock);
  if (s.file == nullptr || std::fflush(s.file) == 0) return;
  const int error = errno;
  guard.unlock();
  errno = error;
  LogFpErrorAndClose("fflush", where);
}

void xLogResetForTesting(const std::string& settings_key) {
  std::lock_guard<std::mutex> init_guard(init_lock());
  State& s = state();
  {
    std::lock_guard<std::mutex> guard(s.file_lock);
    if (s.file != nullptr) std::fclose(s.file);
    s.file = nullptr;
    s.file_path.clear();
    s.wall_second = -1;
    g_file_open.store(false);
  }
  s.settings = XLogSettings();
  s.settings_key = settings_key;
  s.procname.clear();
  s.module_path.clear();
  s.deferred.clear();
  g_filter = Filter();
  g_ready.store(false, std::memory_order_release);
}

void xLogWriteWhenStarted(const char* tag, unsigned level, const char* function, const char* message) {
  {
    std::lock_guard<std::mutex> guard(init_lock());
    if (!g_ready.load(std::memory_order_acquire)) {
      state().deferred.push_back(Deferred{tag ? tag : "", level, function ? function : "", message ? message : ""});
      return;
    }
  }
  xLogWrite(tag, level, function, "%s", message ? message : "");
}

bool xLogTurnOffUnlessStarted() {
  std::lock_guard<std::mutex> guard(init_lock());
  if (g_ready.load(std::memory_order_acquire)) return !g_filter.enabled;
  state().deferred.clear();
  g_filter.enabled = false;
  g_ready.store(true, std::memory_order_release);
  return true;
}

void xLogSetConsoleSink(XLogConsoleSink sink) {
  XLogConsoleSink* fresh = sink ? new XLogConsoleSink(std::move(sink)) : nullptr;
  delete g_console_sink.exchange(fresh);
}

std::string xLogFilePath() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.file_lock);
  return s.file_path;
}

bool xLogReplaceFile(const std::string& path) {
  std::FILE* file = open_file(path);
  if (file == nullptr) return false;
  State& s = state();
  std::lock_guard<std::mutex> guard(s.file_lock);
  if (s.file != nullptr) std::fclose(s.file);
  s.file = file;
  s.file_path = path;
  g_file_open.store(true);
  return true;
}

}  // namespace rodiz

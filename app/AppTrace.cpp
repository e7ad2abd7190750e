#include "app/AppTrace.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

#include "app/AppPlatform.h"

namespace mirel {

namespace {

// Invalid UTF-8 becomes U+FFFD, so a bad argument still gives a readable line.
std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t code = 0;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code = lead & 0x07U;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool valid = i + extra < text.size();
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0U) != 0x80U) {
        valid = false;
      } else {
        code = (code << 6) | (next & 0x3FU);
      }
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    if (valid && ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
                  (extra == 3 && (code < 0x10000 || code > 0x10FFFF)))) {
      valid = false;
    }
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FFU)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

// UTF-16 little-endian whatever the machine, each LF preceded by CR.
std::vector<std::uint8_t> EncodeUtf16WithCrLf(const std::u16string& line) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(line.size() * 2 + 16);
  auto put = [&bytes](char16_t unit) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFFU));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  };
  for (const char16_t unit : line) {
    if (unit == u'\n') put(u'\r');
    put(unit);
  }
  return bytes;
}

std::string FormatText(const char* format, va_list args) MIREL_PRINTF_FORMAT(1, 0);

std::string FormatText(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::string("(unformattable trace: ") + format + ")";
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, static_cast<std::size_t>(needed));
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

// Kept for the life of the process (never destroyed), so that a library
// thread tracing during shutdown finds it intact.
struct TraceState {
  std::mutex mutex;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  AppTrace::DebugOutput debugOutput;
  bool debugOutputEnabled = AppPlatform::DebugOutputByDefault();
  AppTrace::Clock clock;
  AppTrace::LineWatcher watcher;
  AppLogFile file;
  bool fileInUtf16 = false;
};

TraceState& State() {
  static TraceState* state = new TraceState;
  return *state;
}

// Takes the program start as early as static initialisation allows.
[[maybe_unused]] const bool g_clockStarted = (State(), true);

std::filesystem::path LogFilePathIn(const std::filesystem::path& folder) {
  if (folder.empty()) return {};
  std::filesystem::path path = folder / AppTrace::kLogFileName;
  const std::size_t limit = AppPlatform::MaxLogFilePath();
  if (limit != 0 && path.native().size() > limit) return {};
  return path;
}

}  // namespace

void AppTrace::StartClock() {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.start = std::chrono::steady_clock::now();
}

void AppTrace::Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TraceV(format, args);
  va_end(args);
}

void AppTrace::TraceV(const char* format, va_list args) {
  if (format == nullptr) return;
  std::u16string message = Utf8ToUtf16(FormatText(format, args));
  if (message.size() > kMaxMessageLength) {
    std::size_t cut = kMaxMessageLength;
    // Never leave half a surrogate pair at the end.
    if (message[cut - 1] >= 0xD800 && message[cut - 1] <= 0xDBFF) --cut;
    message.resize(cut);
  }

  TraceState& state = State();
  AppTrace::LineWatcher watcher;
  {
    std::lock_guard lock(state.mutex);
    watcher = state.watcher;
    const double seconds = state.clock
                               ? state.clock()
                               : std::chrono::duration<double>(std::chrono::steady_clock::now() - state.start).count();
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%09.3f: ", seconds);
    std::u16string line = Utf8ToUtf16(prefix);
    line += message;

    const std::string utf8 = Utf16ToUtf8(line);
    if (state.debugOutput) {
      state.debugOutput(utf8);
    } else if (state.debugOutputEnabled) {
      AppPlatform::WriteDebugOutput(utf8);
    }
    if (state.file.IsOpen()) {
      if (state.fileInUtf16) {
        const std::vector<std::uint8_t> bytes = EncodeUtf16WithCrLf(line);
        state.file.Write(bytes.data(), bytes.size());
      } else {
        // Whole characters only: the message was cut in UTF-16 units.
        state.file.Write(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
      }
    }
  }
  if (watcher) watcher(Utf16ToUtf8(message));
}

void AppTrace::SetLineWatcher(LineWatcher watcher) {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.watcher = std::move(watcher);
}

void AppTrace::SetDebugOutputEnabled(bool enabled) {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.debugOutputEnabled = enabled;
}

bool AppTrace::OpenLogFile() {
  return OpenLogFile(LogFilePathIn(AppPlatform::DocumentsFolder(/*createIfMissing=*/true)));
}

bool AppTrace::OpenLogFile(const std::filesystem::path& path) {
  {
    TraceState& state = State();
    std::lock_guard lock(state.mutex);
    // Whatever was open before, a failed open leaves no log file.
    state.file.Close();
    static constexpr std::uint8_t kByteOrderMark[] = {0xFF, 0xFE};
    std::uint64_t existingSize = 0;
    if (path.empty() || !state.file.Open(path, &existingSize)) return false;
    // A file begun in UTF-16 (by the Windows program, or by an earlier
    // version here) goes on in UTF-16: a file of two encodings is unreadable.
    state.fileInUtf16 = AppPlatform::NewLogFileInUtf16();
    if (!state.fileInUtf16 && existingSize >= sizeof kByteOrderMark) {
      std::ifstream existing(path, std::ios::binary);
      char head[sizeof kByteOrderMark] = {};
      state.fileInUtf16 =
          existing.read(head, sizeof head) && std::memcmp(head, kByteOrderMark, sizeof kByteOrderMark) == 0;
    }
    if (existingSize == 0 && state.fileInUtf16) state.file.Write(kByteOrderMark, sizeof kByteOrderMark);
  }
  const std::string now = AppPlatform::LocalTimeStamp();
  Trace("\n\n[%s]\n\n", now.c_str());
  return true;
}

void AppTrace::CloseLogFile() {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.file.Close();
}

bool AppTrace::IsLogFileOpen() {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  return state.file.IsOpen();
}

std::filesystem::path AppTrace::DefaultLogFilePath() {
  return LogFilePathIn(AppPlatform::DocumentsFolder(/*createIfMissing=*/false));
}

void AppTrace::SetDebugOutputForTesting(DebugOutput output) {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.debugOutput = std::move(output);
}

void AppTrace::SetClockForTesting(Clock clock) {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.clock = std::move(clock);
}

void Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppTrace::TraceV(format, args);
  va_end(args);
}

}  // namespace mirel

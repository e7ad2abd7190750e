#include <windows.h>

#include <atomic>
#include <vector>

#include "Windows/WideText.h"
#include "runtime/AtomicFile.h"

namespace rodiz {

namespace {

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  bool close() {
    const bool ok = !valid() || CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

}  // namespace

AtomicFile::ReadResult AtomicFile::read(const std::string& path, std::size_t max_size, std::string& content) {
  content.clear();
  const std::wstring wide = WideText::widen(path);
  if (wide.empty()) return ReadResult::Missing;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ReadResult::Missing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ReadResult::NotAFile;
  Handle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return ReadResult::Missing;
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return ReadResult::NotAFile;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return ReadResult::Failed;
  if (static_cast<unsigned long long>(size.QuadPart) > max_size) return ReadResult::TooLarge;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      content.clear();
      return ReadResult::Failed;
    }
    if (got == 0) break;
    content.append(buffer.data(), got);
    if (content.size() > max_size) {
      content.clear();
      return ReadResult::TooLarge;
    }
  }
  return ReadResult::Read;
}

bool AtomicFile::replace(const std::string& path, const std::string& content) {
  const std::wstring target = WideText::widen(path);
  if (target.empty()) return false;
  // A name of this process and call: two programs writing the same file never
  // share a temporary file, and CREATE_NEW never opens someone else's.
  static std::atomic<unsigned> counter{0};
  const std::wstring temporary =
      target + L"." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(counter.fetch_add(1)) + L".tmp";
  Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  bool ok = true;
  const char* data = content.data();
  std::size_t left = content.size();
  while (ok && left > 0) {
    const DWORD chunk = static_cast<DWORD>(left > (1u << 20) ? (1u << 20) : left);
    DWORD written = 0;
    ok = WriteFile(file.get(), data, chunk, &written, nullptr) != 0 && written == chunk;
    data += written;
    left -= written;
  }
  ok = ok && FlushFileBuffers(file.get()) != 0;
  ok = file.close() && ok;
  if (ok) ok = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace rodiz

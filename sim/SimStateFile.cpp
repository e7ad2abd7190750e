#include "sim/SimStateFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace rodiz::sim {

namespace {

constexpr char kHeader[] = "mirel-sim-state 1";

std::string to_hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0x0F];
  }
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool from_hex(const std::string& text, std::vector<std::uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  std::vector<std::uint8_t> result(text.size() / 2);
  for (std::size_t i = 0; i < result.size(); ++i) {
    const int high = hex_digit(text[2 * i]);
    const int low = hex_digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    result[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  *bytes = std::move(result);
  return true;
}

// Plain decimal within [low, high]; nothing else on the token.
bool to_number(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 10) return false;
  long result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result < low || result > high) return false;
  *value = result;
  return true;
}

// The lines of the file, each split at single spaces.
class Reader {
 public:
  explicit Reader(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      lines_.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
      start = end == std::string::npos ? text.size() : end + 1;
    }
  }

  // The next line, which must start with `key` and hold `count` values
  // after it.
  bool next(const char* key, std::size_t count, std::vector<std::string>* values, std::string* error) {
    if (line_ >= lines_.size()) {
      *error = std::string("the file ends before '") + key + "'";
      return false;
    }
    const std::string& line = lines_[line_++];
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start <= line.size()) {
      const std::size_t space = line.find(' ', start);
      tokens.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
      start = space == std::string::npos ? line.size() + 1 : space + 1;
    }
    if (tokens.empty() || tokens[0] != key || tokens.size() != count + 1) {
      *error = "line " + std::to_string(line_) + ": expected '" + key + "' with " + std::to_string(count) + " value(s)";
      return false;
    }
    values->assign(tokens.begin() + 1, tokens.end());
    return true;
  }

  bool number(const std::string& text, long low, long high, long* value, std::string* error) const {
    if (to_number(text, low, high, value)) return true;
    *error = "line " + std::to_string(line_) + ": '" + text.substr(0, 16) + "' is not a number from " +
             std::to_string(low) + " to " + std::to_string(high);
    return false;
  }

  bool at_end() const { return line_ == lines_.size(); }
  std::size_t line() const { return line_; }

 private:
  std::vector<std::string> lines_;
  std::size_t line_ = 0;
};

}  // namespace

std::string SimStateFile::Format(const State& s) {
  std::ostringstream out;
  out << kHeader << "\n";
  out << "mode " << (s.bootloader ? "bootloader" : "application") << "\n";
  out << "version " << s.major << " " << s.minor << " " << s.build << "\n";
  out << "type6 " << s.type6_build << "\n";
  out << "dfu " << (s.dfu.erased ? 1 : 0) << " " << s.dfu.current << " " << s.dfu.next << " "
      << static_cast<int>(s.dfu.last_status) << " " << (s.dfu.matches ? 1 : 0) << " "
      << (s.dfu.last_packet.empty() ? "-" : to_hex(s.dfu.last_packet)) << "\n";
  // Two images, always: a mouse made without images has none verified.
  out << "verified";
  for (std::size_t i = 0; i < 2; ++i) out << " " << (i < s.dfu.verified.size() && s.dfu.verified[i] ? 1 : 0);
  out << "\n";
  out << "profiles " << s.active_profile << " " << s.resolution_index << " " << (s.onboard_mode ? 1 : 0) << "\n";
  out << "led " << static_cast<int>(s.led[0]) << " " << static_cast<int>(s.led[1]) << " " << static_cast<int>(s.led[2])
      << "\n";
  out << "sectors " << s.sectors.size() << " " << s.sector_size << "\n";
  for (const auto& sector : s.sectors) out << "sector " << to_hex(sector) << "\n";
  out << "end\n";
  return out.str();
}

bool SimStateFile::Parse(const std::string& text, State* state, std::string* error) {
  if (text.size() > kMaxFileBytes) {
    *error = "the file is longer than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  Reader in(text);
  State s;
  std::vector<std::string> v;
  long n[6] = {};
  if (!in.next("mirel-sim-state", 1, &v, error)) return false;
  if (v[0] != "1") {
    *error = "line 1: not a state file of version 1";
    return false;
  }
  if (!in.next("mode", 1, &v, error)) return false;
  if (v[0] != "application" && v[0] != "bootloader") {
    *error = "line 2: the mode is 'application' or 'bootloader'";
    return false;
  }
  s.bootloader = v[0] == "bootloader";
  if (!in.next("version", 3, &v, error) || !in.number(v[0], 0, 99, &n[0], error) ||
      !in.number(v[1], 0, 99, &n[1], error) || !in.number(v[2], 0, 9999, &n[2], error)) {
    return false;
  }
  s.major = static_cast<int>(n[0]);
  s.minor = static_cast<int>(n[1]);
  s.build = static_cast<int>(n[2]);
  if (!in.next("type6", 1, &v, error) || !in.number(v[0], 0, 65535, &n[0], error)) return false;
  s.type6_build = static_cast<int>(n[0]);
  if (!in.next("dfu", 6, &v, error) || !in.number(v[0], 0, 1, &n[0], error) || !in.number(v[1], 0, 2, &n[1], error) ||
      !in.number(v[2], 0, 1000000, &n[2], error) || !in.number(v[3], 0, 255, &n[3], error) ||
      !in.number(v[4], 0, 1, &n[4], error)) {
    return false;
  }
  s.dfu.erased = n[0] == 1;
  s.dfu.current = static_cast<int>(n[1]);
  s.dfu.next = static_cast<std::uint32_t>(n[2]);
  s.dfu.last_status = static_cast<std::uint8_t>(n[3]);
  s.dfu.matches = n[4] == 1;
  if (v[5] != "-" && (!from_hex(v[5], &s.dfu.last_packet) || s.dfu.last_packet.size() != 16)) {
    *error = "line " + std::to_string(in.line()) + ": the last packet is 32 hexadecimal digits or '-'";
    return false;
  }
  if (!in.next("verified", 2, &v, error) || !in.number(v[0], 0, 1, &n[0], error) ||
      !in.number(v[1], 0, 1, &n[1], error)) {
    return false;
  }
  s.dfu.verified = {n[0] == 1, n[1] == 1};
  if (!in.next("profiles", 3, &v, error) || !in.number(v[0], 0, 65535, &n[0], error) ||
      !in.number(v[1], 0, 255, &n[1], error) || !in.number(v[2], 0, 1, &n[2], error)) {
    return false;
  }
  s.active_profile = static_cast<int>(n[0]);
  s.resolution_index = static_cast<int>(n[1]);
  s.onboard_mode = n[2] == 1;
  if (!in.next("led", 3, &v, error)) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (!in.number(v[i], 0, 255, &n[i], error)) return false;
    s.led[i] = static_cast<std::uint8_t>(n[i]);
  }
  if (!in.next("sectors", 2, &v, error) || !in.number(v[0], 0, kMaxSectors, &n[0], error) ||
      !in.number(v[1], 16, kMaxSectorSize, &n[1], error)) {
    return false;
  }
  s.sector_size = static_cast<int>(n[1]);
  for (long i = 0; i < n[0]; ++i) {
    std::vector<std::uint8_t> sector;
    if (!in.next("sector", 1, &v, error)) return false;
    if (!from_hex(v[0], &sector) || sector.size() != static_cast<std::size_t>(s.sector_size)) {
      *error = "line " + std::to_string(in.line()) + ": a sector is " + std::to_string(s.sector_size * 2) +
               " lower-case hexadecimal digits";
      return false;
    }
    s.sectors.push_back(std::move(sector));
  }
  if (!in.next("end", 0, &v, error)) return false;
  if (!in.at_end()) {
    *error = "line " + std::to_string(in.line() + 1) + ": text after 'end'";
    return false;
  }
  *state = std::move(s);
  return true;
}

bool SimStateFile::Load(const std::string& path, State* state, std::string* error) {
  error->clear();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFileBytes) break;
  }
  if (!Parse(text, state, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool SimStateFile::Save(const std::string& path, const std::string& text, std::string* error) {
  // No fsync: the file must survive the program being killed, which the
  // page cache does; surviving a crash of the machine is not asked of it.
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  std::error_code ec;
  if (!written || !closed) {
    std::filesystem::remove(temporary, ec);
    *error = "cannot write " + temporary;
    return false;
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    *error = "cannot replace " + path;
    return false;
  }
  return true;
}

}  // namespace rodiz::sim

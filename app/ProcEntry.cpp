#include "app/ProcEntry.h"

namespace mirel {

namespace {

bool parse_number(std::string_view text, std::size_t* at, unsigned long* value) {
  std::size_t i = *at;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  const std::size_t first = i;
  unsigned long result = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const unsigned long digit = static_cast<unsigned long>(text[i] - '0');
    if (result > (~0ul - digit) / 10) return false;
    result = result * 10 + digit;
  }
  if (i == first) return false;
  *at = i;
  *value = result;
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

char ProcEntry::StateOf(std::string_view stat) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 2 >= stat.size() || stat[close + 1] != ' ') return 0;
  const char state = stat[close + 2];
  return state >= 'A' && state <= 'Z' ? state : 0;
}

std::vector<std::string> ProcEntry::Arguments(std::string_view cmdline) {
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < cmdline.size()) {
    std::size_t end = cmdline.find('\0', start);
    if (end == std::string_view::npos) end = cmdline.size();
    arguments.emplace_back(cmdline.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

std::string ProcEntry::BaseName(std::string_view path) {
  static constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() >= kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted) {
    path.remove_suffix(kDeleted.size());
  }
  const std::size_t separator = path.find_last_of("/\\");
  return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

bool ProcEntry::SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool ProcEntry::UidsOf(std::string_view status, unsigned long* real, unsigned long* effective) {
  static constexpr std::string_view kKey = "Uid:";
  std::size_t line = 0;
  while (line < status.size()) {
    std::size_t end = status.find('\n', line);
    if (end == std::string_view::npos) end = status.size();
    const std::string_view text = status.substr(line, end - line);
    if (text.substr(0, kKey.size()) == kKey) {
      std::size_t at = kKey.size();
      unsigned long r = 0;
      unsigned long e = 0;
      if (!parse_number(text, &at, &r) || !parse_number(text, &at, &e)) return false;
      *real = r;
      *effective = e;
      return true;
    }
    line = end + 1;
  }
  return false;
}

}  // namespace mirel

#include "Linux/RegExportFile.h"

#include <cstdio>

#include "runtime/SettingsKey.h"

namespace rodiz {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kHive = "HKEY_CURRENT_USER\\";
// A file whose bytes cannot be decoded is no text at all.
constexpr std::uint32_t kReplacement = 0xFFFD;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void append_utf8(std::string* out, std::uint32_t code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16LE to UTF-8. False when a surrogate is unpaired (it becomes U+FFFD).
bool utf16le_to_utf8(const Byte* data, std::size_t units, std::string* out) {
  bool sound = true;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t unit = data[2 * i] | (static_cast<std::uint32_t>(data[2 * i + 1]) << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      const std::uint32_t low = data[2 * i + 2] | (static_cast<std::uint32_t>(data[2 * i + 3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      sound = false;
      unit = kReplacement;
    }
    append_utf8(out, unit);
  }
  return sound;
}

// Valid UTF-8 (checked by the caller) to UTF-16LE.
std::vector<Byte> utf8_to_utf16le(std::string_view text) {
  std::vector<Byte> out;
  auto put = [&out](std::uint32_t unit) {
    out.push_back(static_cast<Byte>(unit & 0xFF));
    out.push_back(static_cast<Byte>(unit >> 8));
  };
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::uint32_t code = c;
    int extra = 0;
    if (c >= 0xF0) {
      code = c & 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      code = c & 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      code = c & 0x1F;
      extra = 1;
    }
    for (int k = 1; k <= extra && i + k < text.size(); ++k) {
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 + (code >> 10));
      put(0xDC00 + (code & 0x3FF));
    } else {
      put(code);
    }
  }
  return out;
}

// A comma-separated list of two-digit hexadecimal bytes; empty is fine.
bool parse_hex_list(std::string_view text, std::vector<Byte>* bytes) {
  bytes->clear();
  text = trim(text);
  if (text.empty()) return true;
  for (;;) {
    text = trim(text);
    if (text.size() < 2) return false;
    const int high = hex_digit(text[0]);
    const int low = hex_digit(text[1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<Byte>(high * 16 + low));
    text = trim(text.substr(2));
    if (text.empty()) return true;
    if (text.front() != ',') return false;
    text.remove_prefix(1);
  }
}

// A quoted text starting at text[0] == '"', with the format's two escapes
// \\ and \". Sets `rest` to what follows the closing quote.
bool parse_quoted(std::string_view text, std::string* out, std::string_view* rest) {
  out->clear();
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      *rest = text.substr(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return false;
      *out += text[++i];
    } else {
      *out += c;
    }
  }
  return false;
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Bytes as regedit writes them: wrapped before 80 columns, continuation lines
// indented by two spaces.
void append_hex(std::string* out, std::size_t column, const std::vector<Byte>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) {
      *out += ',';
      ++column;
      if (column + 3 > 78) {
        *out += "\\\n  ";
        column = 2;
      }
    }
    *out += kDigits[bytes[i] >> 4];
    *out += kDigits[bytes[i] & 0x0F];
    column += 2;
  }
}

bool has_control_character(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// A short printable excerpt of a line for the warnings.
std::string excerpt(std::string_view line) {
  std::string out;
  for (unsigned char c : line.substr(0, 60)) {
    if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (line.size() > 60) out += "...";
  return out;
}

}  // namespace

RegExportFile::RegExportFile(std::string key_path) : section_path_(std::move(key_path)) {}

bool RegExportFile::is_valid_value_name(std::string_view name) { return !has_control_character(name); }

void RegExportFile::problem(std::string text) {
  if (problem_count_++ < kMaxProblemTexts) problems_.push_back(std::move(text));
}

void RegExportFile::problem(int line_number, const std::string& what, std::string_view line) {
  if (problem_count_ >= kMaxProblemTexts) {
    ++problem_count_;
    return;
  }
  std::string text = "line " + std::to_string(line_number) + ": " + what;
  if (!line.empty()) text += ": " + excerpt(line);
  problem(std::move(text));
}

RegExportFile RegExportFile::parse(std::string_view content, const std::string& key_path) {
  RegExportFile file(key_path);
  if (content.size() > kMaxFileSize) {
    file.problem("the file is larger than " + std::to_string(kMaxFileSize) + " bytes and was not read");
    return file;
  }
  std::string decoded;
  if (content.size() >= 2 && static_cast<Byte>(content[0]) == 0xFF && static_cast<Byte>(content[1]) == 0xFE) {
    // Exported on Windows: UTF-16LE with a byte order mark.
    const auto* data = reinterpret_cast<const Byte*>(content.data()) + 2;
    const std::size_t units = (content.size() - 2) / 2;
    if (!utf16le_to_utf8(data, units, &decoded)) file.problem("the file holds invalid UTF-16 text");
    if (content.size() % 2 != 0) file.problem("the file ends in the middle of a UTF-16 character");
    content = decoded;
  } else if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") {
    content.remove_prefix(3);
  }

  std::string logical;
  int logical_start = 0;
  int line_number = 0;
  std::size_t position = 0;
  while (position <= content.size()) {
    std::size_t end = content.find('\n', position);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = trim(content.substr(position, end - position));
    position = end + 1;
    ++line_number;
    if (logical.empty()) {
      logical_start = line_number;
      logical = line;
    } else {
      logical += line;
    }
    // A trailing backslash continues a value on the next line.
    const bool continues =
        !logical.empty() && logical.back() == '\\' && logical.front() != ';' && position <= content.size();
    if (continues) {
      logical.pop_back();
      continue;
    }
    file.parse_line(logical, logical_start);
    logical.clear();
  }
  file.index_.clear();
  return file;
}

void RegExportFile::parse_line(std::string_view line, int line_number) {
  line = trim(line);
  if (line.empty()) return;
  if (line.find('\0') != std::string_view::npos) {
    problem(line_number, "a line with NUL bytes is ignored", line);
    return;
  }
  if (!seen_header_) {
    seen_header_ = true;
    if (line == kHeader || line == kOldHeader) return;
    problem(line_number, std::string("the file does not begin with \"") + std::string(kHeader) + "\"", line);
  } else if (line == kHeader || line == kOldHeader) {
    problem(line_number, "a second header is ignored", line);
    return;
  }
  if (line.front() == ';') {
    if (section_ == Section::None) {
      preamble_.emplace_back(line);
    } else if (section_ == Section::Ours) {
      Entry entry;
      entry.is_comment = true;
      entry.comment = line;
      entries_.push_back(std::move(entry));
    }
    return;
  }
  if (line.front() == '[') {
    const std::string_view inner = line.back() == ']' ? line.substr(1, line.size() - 2) : std::string_view();
    std::vector<std::string> ours;
    std::vector<std::string> theirs;
    const bool same_key = starts_with_nocase(inner, kHive) &&
                          SettingsKey::split_path(std::string(inner.substr(kHive.size())), &theirs) &&
                          SettingsKey::split_path(section_path_, &ours) && ours.size() == theirs.size() && [&] {
                            for (std::size_t i = 0; i < ours.size(); ++i) {
                              if (!equal_nocase(ours[i], theirs[i])) return false;
                            }
                            return true;
                          }();
    if (!same_key) {
      section_ = Section::Foreign;
      problem(line_number, "a section of another key is ignored", line);
      return;
    }
    if (seen_section_) problem(line_number, "the key's section appears twice", line);
    seen_section_ = true;
    section_ = Section::Ours;
    // Keep the spelling the file was made with.
    section_path_ = inner.substr(kHive.size());
    while (!section_path_.empty() && section_path_.back() == '\\') section_path_.pop_back();
    return;
  }
  if (section_ == Section::Foreign) return;  // reported with its section line
  if (section_ == Section::None) {
    problem(line_number, "a value before the key's section is ignored", line);
    return;
  }
  Value value;
  if (!parse_value(line, &value)) {
    problem(line_number, "a line that cannot be read is ignored", line);
    return;
  }
  std::string folded = value.name;
  for (char& c : folded) c = lower(c);
  const auto [slot, fresh] = index_.try_emplace(std::move(folded), entries_.size());
  if (!fresh) {
    problem(line_number, "a value that appears twice: the last one counts", line);
    entries_[slot->second].value = std::move(value);
    return;
  }
  Entry entry;
  entry.value = std::move(value);
  entries_.push_back(std::move(entry));
}

bool RegExportFile::parse_value(std::string_view line, Value* value) const {
  std::string_view rest;
  if (line.front() == '@') {
    value->name.clear();
    rest = line.substr(1);
  } else if (line.front() == '"') {
    if (!parse_quoted(line, &value->name, &rest)) return false;
    if (!is_valid_value_name(value->name) || !SettingsKey::is_valid_utf8(value->name)) return false;
  } else {
    return false;
  }
  rest = trim(rest);
  if (rest.empty() || rest.front() != '=') return false;
  const std::string_view data = trim(rest.substr(1));
  if (data.empty()) return false;

  if (data.front() == '"') {
    std::string_view after;
    if (!parse_quoted(data, &value->text, &after) || !trim(after).empty()) return false;
    if (!SettingsKey::is_storable_string(value->text)) return false;
    value->type = Type::String;
    return true;
  }
  if (starts_with_nocase(data, "dword:")) {
    const std::string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    std::uint32_t number = 0;
    for (char c : digits) {
      const int digit = hex_digit(c);
      if (digit < 0) return false;
      number = number * 16 + static_cast<std::uint32_t>(digit);
    }
    value->type = Type::Dword;
    value->dword = number;
    return true;
  }
  if (starts_with_nocase(data, "hex:")) {
    if (!parse_hex_list(data.substr(4), &value->bytes)) return false;
    value->type = Type::Binary;
    return true;
  }
  if (starts_with_nocase(data, "hex(1):")) {
    // A string that holds characters the quoted form cannot.
    std::vector<Byte> bytes;
    if (!parse_hex_list(data.substr(7), &bytes) || bytes.size() % 2 != 0) return false;
    std::string text;
    if (!utf16le_to_utf8(bytes.data(), bytes.size() / 2, &text)) return false;
    // The registry's terminating zero, and anything after a zero, is no part of the string.
    const std::size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    value->type = Type::String;
    value->text = std::move(text);
    return true;
  }
  if (starts_with_nocase(data, "hex(")) {
    // Another registry type: kept as written, read as absent.
    const std::size_t close = data.find("):");
    if (close == std::string_view::npos || close <= 4) return false;
    for (char c : data.substr(4, close - 4)) {
      if (hex_digit(c) < 0) return false;
    }
    std::vector<Byte> bytes;
    if (!parse_hex_list(data.substr(close + 2), &bytes)) return false;
    value->type = Type::Other;
    value->text = std::string(data.substr(0, close + 2));
    value->bytes = std::move(bytes);
    return true;
  }
  return false;
}

std::string RegExportFile::serialise() const {
  std::string out(kHeader);
  out += "\n\n";
  for (const std::string& comment : preamble_) out += comment + "\n";
  out += "[" + std::string(kHive) + section_path_ + "]\n";
  for (const Entry& entry : entries_) {
    if (entry.is_comment) {
      out += entry.comment + "\n";
      continue;
    }
    const Value& value = entry.value;
    const std::size_t line_start = out.size();
    out += value.name.empty() ? std::string("@") : quote(value.name);
    out += '=';
    switch (value.type) {
      case Type::Dword: {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", static_cast<unsigned>(value.dword));
        out += digits;
        break;
      }
      case Type::String:
        if (has_control_character(value.text)) {
          std::vector<Byte> bytes = utf8_to_utf16le(value.text);
          bytes.push_back(0);
          bytes.push_back(0);
          out += "hex(1):";
          append_hex(&out, out.size() - line_start, bytes);
        } else {
          out += quote(value.text);
        }
        break;
      case Type::Binary:
        out += "hex:";
        append_hex(&out, out.size() - line_start, value.bytes);
        break;
      case Type::Other:
        out += value.text;
        append_hex(&out, out.size() - line_start, value.bytes);
        break;
    }
    out += '\n';
  }
  out += '\n';
  return out;
}

const RegExportFile::Value* RegExportFile::find(std::string_view name) const {
  for (const Entry& entry : entries_) {
    if (!entry.is_comment && equal_nocase(entry.value.name, name)) return &entry.value;
  }
  return nullptr;
}

void RegExportFile::set(Value value) {
  for (Entry& entry : entries_) {
    if (!entry.is_comment && equal_nocase(entry.value.name, value.name)) {
      // The registry keeps the name as first written.
      value.name = entry.value.name;
      entry.value = std::move(value);
      return;
    }
  }
  Entry entry;
  entry.value = std::move(value);
  entries_.push_back(std::move(entry));
}

bool RegExportFile::erase(std::string_view name) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!it->is_comment && equal_nocase(it->value.name, name)) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace rodiz

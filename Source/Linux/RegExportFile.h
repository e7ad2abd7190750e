#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// The values of one settings key as text in the registry's export format, so
// that an administrator can read the file and carry it to another system:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Orvantis\Mirel Firmware Update v7]
//   "NumRetries"=dword:0000000a
//   "MoxelPath"="C:\\Program Files\\Moxel"
//   "ProfileData"=hex:01,02,...
//
// Parsing never fails: whatever cannot be read (a damaged or hand-edited
// line, another key's section, an unknown header) is left out and described
// in problems(). Values of registry types this store does not use (hex(2),
// hex(b)...) are kept as written, so a rewrite does not drop them. Comments
// are kept too.
class RegExportFile {
 public:
  enum class Type { Dword, String, Binary, Other };
  struct Value {
    std::string name;  // empty: the key's default value, written @
    Type type = Type::Other;
    std::uint32_t dword = 0;
    std::string text;  // String: the value (UTF-8); Other: the data as written after '='
    std::vector<Byte> bytes;
  };

  // Files larger than this are not read at all.
  static constexpr std::size_t kMaxFileSize = 16u << 20;

  // An empty key.
  explicit RegExportFile(std::string key_path);
  // `content` is the file of key `key_path` (UTF-8, or UTF-16LE with its byte
  // order mark as exported on Windows).
  static RegExportFile parse(std::string_view content, const std::string& key_path);
  // The canonical text: UTF-8, LF line ends.
  std::string serialise() const;

  // Value names compare without regard to ASCII case.
  const Value* find(std::string_view name) const;
  // Replaces the value of the same name in place, or appends it.
  void set(Value value);
  // True when the value was there.
  bool erase(std::string_view name);

  // One text per thing that could not be read, the first kMaxProblemTexts
  // of them; problem_count() counts them all and is 0 for a sound file.
  const std::vector<std::string>& problems() const { return problems_; }
  std::size_t problem_count() const { return problem_count_; }
  static constexpr std::size_t kMaxProblemTexts = 100;

  // Value names that the format can hold: no NUL or other control character.
  static bool is_valid_value_name(std::string_view name);

 private:
  struct Entry {
    bool is_comment = false;
    std::string comment;
    Value value;
  };
  void parse_line(std::string_view line, int line_number);
  bool parse_value(std::string_view line, Value* value) const;
  void problem(int line_number, const std::string& what, std::string_view line);
  void problem(std::string text);

  std::string section_path_;
  std::vector<std::string> preamble_;
  std::vector<Entry> entries_;
  std::vector<std::string> problems_;
  std::size_t problem_count_ = 0;

  // Parser state. The index finds a repeated value name without a search per
  // line, which a hostile file of many lines would make quadratic.
  enum class Section { None, Ours, Foreign };
  Section section_ = Section::None;
  bool seen_header_ = false;
  bool seen_section_ = false;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace rodiz

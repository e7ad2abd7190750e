#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace rodiz {

// What the log does, as read once per process from the executable's settings
// key, and the tag filter of the console outputs.
class XLogSettings {
 public:
  static constexpr unsigned kDefaultEnabled = 1;
  static constexpr unsigned kDefaultOutput = 6;
  static constexpr unsigned kDefaultLevel = 1;
  static constexpr unsigned kDefaultTagLevel = 3;
  static constexpr unsigned kDefaultFileLevel = 4;
  static constexpr unsigned kDefaultFolderCapMB = 100;
  // "LogTags" is read into a buffer of this size, terminator included.
  static constexpr std::size_t kMaxTagsSize = 1024;

  // Output bits of "loggingoutput".
  static constexpr unsigned kStandardOutput = 1;
  static constexpr unsigned kDebuggerOutput = 2;
  static constexpr unsigned kFileOutput = 4;

  bool enabled = kDefaultEnabled != 0;
  // Messages at or below this level pass the tag filter.
  unsigned logginglevel = kDefaultLevel;
  unsigned loggingoutput = kDefaultOutput;
  // Highest level of the console outputs.
  unsigned logTagLevel = kDefaultTagLevel;
  // Highest level of the file.
  unsigned fileLevel = kDefaultFileLevel;
  // Most this executable's log files may take together, in MB of 1048576
  // bytes ("logFolderCapMB"); 0 for no cap. Only where the platform caps the
  // log's folder (Linux); elsewhere the value is not read.
  unsigned logFolderCapMB = kDefaultFolderCapMB;

  bool all_tags_disabled = true;
  std::set<std::string, std::less<>> enabled_tags;
  std::set<std::string, std::less<>> disabled_tags;

  // Reads the key's values; a missing key or value keeps its default.
  void read(const std::string& key_path);
  // Applies the tokens of a "LogTags" value: "-*", "+Tag", "-Tag".
  void apply_tags(std::string_view tags);
  // Whether the console outputs show a message with `tag` above logginglevel.
  bool tag_shown(std::string_view tag) const;
  // " -*", then " +Tag" per enabled and " -Tag" per disabled tag, sorted.
  std::string describe_tags() const;
};

}  // namespace rodiz

#include "log/XLogSettings.h"

#include "log/XLogPlatformSpecific.h"
#include "log/xLog.h"
#include "runtime/SettingsKey.h"

namespace rodiz {

void XLogSettings::read(const std::string& key_path) {
  std::unique_ptr<SettingsKey> key = SettingsKey::open(key_path, false);
  if (!key) return;
  if (auto value = key->get_dword("logging")) enabled = *value != 0;
  if (auto value = key->get_dword("logginglevel")) logginglevel = *value;
  if (auto value = key->get_dword("loggingoutput")) loggingoutput = *value;
  if (auto value = key->get_dword("logTagLevel")) logTagLevel = *value;
  if (XLogPlatformSpecific::caps_log_folder()) {
    if (auto value = key->get_dword("logFolderCapMB")) logFolderCapMB = *value;
  }
  if (auto value = key->get_string("LogTags")) {
    if (value->size() >= kMaxTagsSize) {
      // Too long for the value's place: ignored as a value that cannot be read, but said.
      xLogWrite("xlog", LogWarning, "rodiz::XLogSettings::read",
                "LogTags of %zu characters is longer than %zu and is ignored", value->size(), kMaxTagsSize - 1);
    } else {
      apply_tags(*value);
    }
  }
}

void XLogSettings::apply_tags(std::string_view tags) {
  if (tags.empty()) return;
  // A list of "+Tag" tokens only adds those tags to the default of none:
  // "+DeviceManager" alone must not show every other tag too. Any other
  // list starts from every tag shown.
  bool only_additions = true;
  for (std::string_view rest = tags;;) {
    const std::size_t space = rest.find(' ');
    const std::string_view token = rest.substr(0, space);
    if (token.size() < 2 || token[0] != '+') only_additions = false;
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  if (!only_additions) all_tags_disabled = false;
  for (;;) {
    const std::size_t space = tags.find(' ');
    const std::string_view token = tags.substr(0, space);
    if (token == "-*") {
      all_tags_disabled = true;
      enabled_tags.clear();
      disabled_tags.clear();
    } else if (token.size() > 1 && token[0] == '+') {
      const std::string name(token.substr(1));
      disabled_tags.erase(name);
      enabled_tags.insert(name);
    } else if (token.size() > 1 && token[0] == '-') {
      const std::string name(token.substr(1));
      enabled_tags.erase(name);
      disabled_tags.insert(name);
    }
    if (space == std::string_view::npos) break;
    tags.remove_prefix(space + 1);
  }
}

bool XLogSettings::tag_shown(std::string_view tag) const {
  if (disabled_tags.find(tag) != disabled_tags.end()) return false;
  return !all_tags_disabled || enabled_tags.find(tag) != enabled_tags.end();
}

std::string XLogSettings::describe_tags() const {
  std::string text;
  if (all_tags_disabled) text += " -*";
  for (const std::string& tag : enabled_tags) text += " +" + tag;
  for (const std::string& tag : disabled_tags) text += " -" + tag;
  return text;
}

}  // namespace rodiz

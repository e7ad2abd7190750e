#include "sim/SimFaults.h"

#include <cstdlib>
#include <vector>

#include "sim/FaultItemList.h"

namespace rodiz::sim {

namespace {

bool to_int(const std::string& text, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 0);
  if (*end != '\0' || parsed < -1 || parsed > 1000000) return false;
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

bool SimFaults::parse(const std::string& text, SimFaults* faults, std::string* error) {
  SimFaults result = *faults;
  for (const FaultItemList::Item& entry : FaultItemList::split(text)) {
    const std::string& item = entry.text;
    const std::string& name = entry.name;
    const std::string& value = entry.value;
    int number = 0;
    const bool has_number = to_int(value, &number);
    auto need_number = [&](int* field) {
      if (!has_number) {
        *error = "fault '" + name + "' needs a number, got '" + value + "'";
        return false;
      }
      *field = number;
      return true;
    };
    if (name == "silent" && value.empty()) {
      result.silent = true;
    } else if (name == "stay-away" && value.empty()) {
      result.stay_away_after_restart = true;
    } else if (name == "refuse-restart" && value.empty()) {
      result.refuse_restart = true;
    } else if (name == "foreign-swid" && value.empty()) {
      result.foreign_swid = true;
    } else if (name == "image") {
      if (!need_number(&result.image)) return false;
    } else if (name == "drop") {
      if (!need_number(&result.drop_response_to_packet)) return false;
    } else if (name == "late") {
      if (!need_number(&result.late_packet)) return false;
      if (result.late_by.count() == 0) result.late_by = std::chrono::milliseconds(5000);
    } else if (name == "late-ms") {
      int ms = 0;
      if (!need_number(&ms)) return false;
      result.late_by = std::chrono::milliseconds(ms);
    } else if (name == "error") {
      if (!need_number(&result.error_response_to_packet)) return false;
    } else if (name == "status") {
      if (!need_number(&result.bad_status_packet)) return false;
    } else if (name == "status-value") {
      int status = 0;
      if (!need_number(&status) || status > 255) return false;
      result.bad_status = static_cast<std::uint8_t>(status);
    } else if (name == "unsolicited") {
      if (!need_number(&result.unsolicited_status_after_packet)) return false;
    } else if (name == "vanish") {
      if (!need_number(&result.disappear_at_packet)) return false;
    } else if (name == "drop-read") {
      if (!need_number(&result.drop_profile_read)) return false;
    } else if (name == "drop-write") {
      if (!need_number(&result.drop_profile_write)) return false;
    } else if (name == "unplug-read") {
      if (!need_number(&result.unplug_profile_read)) return false;
    } else if (name == "unplug-write") {
      if (!need_number(&result.unplug_profile_write)) return false;
    } else if (name == "reappear-ms") {
      if (!need_number(&result.reappear_after_ms)) return false;
    } else {
      *error = "unknown fault '" + item + "'";
      return false;
    }
  }
  *faults = result;
  return true;
}

}  // namespace rodiz::sim

#include "app/SimFaultList.h"

#include "sim/FaultItemList.h"

namespace mirel {

namespace {

struct FaultKind {
  const char* name;
  bool takes_value;
  long low;
  long high;
  const char* meaning;
};

// Packet numbers count the 16-byte slices of an image from 0.
constexpr long kMaxPacket = 1000000;
constexpr long kMaxMs = 600000;

constexpr FaultKind kKinds[] = {
    {"drop", true, 0, kMaxPacket, "the answer to packet N is lost"},
    {"late", true, 0, kMaxPacket, "packet N is answered late (late-ms)"},
    {"late-ms", true, 0, kMaxMs, "how late, in ms (default 5000)"},
    {"error", true, 0, kMaxPacket, "packet N gets an error response"},
    {"status", true, 0, kMaxPacket, "packet N gets an error status"},
    {"status-value", true, 0, 255, "that status (default 4)"},
    {"unsolicited", true, 0, kMaxPacket, "an unasked status follows packet N"},
    {"vanish", true, 0, kMaxPacket, "the mouse drops off at packet N"},
    {"drop-read", true, 0, kMaxPacket, "the answer to profile read N is lost"},
    {"drop-write", true, 0, kMaxPacket, "the answer to profile write N is lost"},
    {"unplug-read", true, 0, kMaxPacket, "the mouse loses power at profile read N"},
    {"unplug-write", true, 0, kMaxPacket, "the mouse loses power at profile write N"},
    {"reappear-ms", true, -1, kMaxMs, "back after this long (-1: never)"},
    {"image", true, 1, 2, "the faults apply to this image only"},
    {"stay-away", false, 0, 0, "after its restart, back on power cycle"},
    {"refuse-restart", false, 0, 0, "the restart request gets an error"},
    {"foreign-swid", false, 0, 0, "answers carry another program's id"},
    {"silent", false, 0, 0, "the mouse answers nothing"},
};

// Plain decimal with an optional minus sign; no hexadecimal, no blanks.
bool parse_decimal(const std::string& text, long low, long high, long* value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size() || text.size() - i > 9) return false;
  long result = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
  }
  if (negative) result = -result;
  if (result < low || result > high) return false;
  *value = result;
  return true;
}

std::string allowed(const FaultKind& kind) {
  if (!kind.takes_value) return std::string(kind.name) + " takes no value";
  return std::string(kind.name) + " takes a whole number from " + std::to_string(kind.low) + " to " +
         std::to_string(kind.high);
}

}  // namespace

bool SimFaultList::Check(const std::string& text, std::string* error) {
  for (const rodiz::sim::FaultItemList::Item& entry : rodiz::sim::FaultItemList::split(text)) {
    const std::string& item = entry.text;
    const std::string& name = entry.name;
    const FaultKind* kind = nullptr;
    for (const FaultKind& candidate : kKinds) {
      if (name == candidate.name) kind = &candidate;
    }
    const std::string prefix = "option --sim-faults: '" + item + "' ";
    if (kind == nullptr) {
      std::string names;
      for (const FaultKind& candidate : kKinds) names += std::string(names.empty() ? "" : ", ") + candidate.name;
      *error = prefix + "is not a fault of the simulated mouse; the faults are " + names;
      return false;
    }
    const bool has_value = entry.has_value;
    long value = 0;
    if (has_value != kind->takes_value || (has_value && !parse_decimal(entry.value, kind->low, kind->high, &value))) {
      *error = prefix + "is not allowed: " + allowed(*kind);
      return false;
    }
  }
  return true;
}

std::string SimFaultList::Describe(int indent) {
  const std::string margin(static_cast<std::size_t>(indent), ' ');
  std::string text;
  for (const FaultKind& kind : kKinds) {
    std::string head = kind.name;
    if (kind.takes_value) head += kind.low == 1 && kind.high == 2 ? "=<1|2>" : "=N";
    if (head.size() < 16) head.append(16 - head.size(), ' ');
    text += margin + head + " " + kind.meaning + "\n";
  }
  return text;
}

}  // namespace mirel

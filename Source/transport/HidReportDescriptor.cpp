#include "transport/HidReportDescriptor.h"

#include <algorithm>

namespace rodiz {

namespace {

// The limits a HID stack applies; a descriptor beyond them describes
// nothing a device could send.
constexpr std::uint32_t kMaxReportSizeBits = 256;
constexpr std::uint32_t kMaxReportCount = 12288;
constexpr std::uint32_t kMaxReportBits = 16384u * 8u;
constexpr std::size_t kMaxPushDepth = 4;
constexpr std::size_t kMaxNesting = 64;
constexpr std::size_t kMaxCollections = 64;
constexpr std::uint32_t kMaxUsages = 12288;

enum ItemType : unsigned { Main = 0, Global = 1, Local = 2, Reserved = 3 };
enum MainTag : unsigned { Input = 8, Output = 9, Collection = 10, Feature = 11, EndCollection = 12 };
enum GlobalTag : unsigned {
  UsagePage = 0,
  ReportSize = 7,
  ReportId = 8,
  ReportCount = 9,
  Push = 10,
  Pop = 11,
  LastGlobalTag = 11,
};
enum LocalTag : unsigned { Usage = 0, UsageMinimum = 1, UsageMaximum = 2, Delimiter = 10 };

struct Globals {
  std::uint32_t usage_page = 0;
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  unsigned report_id = 0;
};

struct Locals {
  std::uint32_t first_usage = 0;
  bool first_usage_extended = false;  // carried its own usage page
  bool has_usage = false;
  std::uint32_t usages = 0;  // Usage items and usage ranges
  int delimiter_depth = 0;
  bool in_delimiter_set_after_first = false;
};

class Parser {
 public:
  Parser(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool run(std::vector<HidCollection>& collections, bool& uses_ids, std::string& error) {
    while (offset_ < size_) {
      const std::size_t at = offset_;
      if (!item(at)) {
        error = reason_ + " at byte " + std::to_string(at);
        return false;
      }
    }
    if (depth_ != 0) return fail_at_end(error, "collection not closed");
    if (locals_.delimiter_depth != 0) return fail_at_end(error, "delimiter set not closed");
    collections = std::move(collections_);
    uses_ids = uses_ids_;
    return true;
  }

 private:
  bool fail_at_end(std::string& error, const char* why) {
    error = std::string(why) + " at the end of the descriptor";
    return false;
  }
  bool fail(const char* why) {
    reason_ = why;
    return false;
  }

  bool item(std::size_t at) {
    const std::uint8_t prefix = data_[at];
    if (prefix == 0xFE) {
      // A long item: no tags are defined for them, so their data is skipped.
      if (size_ - at < 3) return fail("truncated long item");
      const std::size_t length = data_[at + 1];
      if (size_ - at - 3 < length) return fail("truncated long item");
      offset_ = at + 3 + length;
      return true;
    }
    const unsigned size_code = prefix & 0x3u;
    const std::size_t length = size_code == 3 ? 4 : size_code;
    const unsigned type = (prefix >> 2) & 0x3u;
    const unsigned tag = prefix >> 4;
    if (size_ - at - 1 < length) return fail("truncated item");
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i) value |= static_cast<std::uint32_t>(data_[at + 1 + i]) << (8 * i);
    offset_ = at + 1 + length;
    switch (type) {
      case Main:
        return main_item(tag, value);
      case Global:
        return global_item(tag, value, length);
      case Local:
        return local_item(tag, value, length);
      default:
        return fail("reserved item type");
    }
  }

  bool global_item(unsigned tag, std::uint32_t value, std::size_t length) {
    switch (tag) {
      case UsagePage:
        globals_.usage_page = value & 0xFFFFu;
        return true;
      case ReportSize:
        if (value > kMaxReportSizeBits) return fail("report size too large");
        globals_.report_size = value;
        return true;
      case ReportCount:
        if (value > kMaxReportCount) return fail("report count too large");
        globals_.report_count = value;
        return true;
      case ReportId:
        if (length == 0 || value == 0 || value > 255) return fail("report id out of range");
        if (main_items_without_id_) return fail("report id after reports without one");
        globals_.report_id = value;
        uses_ids_ = true;
        return true;
      case Push:
        if (stack_.size() >= kMaxPushDepth) return fail("push too deep");
        stack_.push_back(globals_);
        return true;
      case Pop:
        if (stack_.empty()) return fail("pop without push");
        globals_ = stack_.back();
        stack_.pop_back();
        return true;
      default:
        // Logical and physical extents, unit and exponent change no size.
        if (tag > LastGlobalTag) return fail("reserved global item");
        return true;
    }
  }

  bool local_item(unsigned tag, std::uint32_t value, std::size_t length) {
    switch (tag) {
      case Usage:
      case UsageMinimum:
        if (locals_.in_delimiter_set_after_first) return true;  // alternatives of the first usage
        if (++locals_.usages > kMaxUsages) return fail("too many usages");
        if (!locals_.has_usage) {
          locals_.has_usage = true;
          locals_.first_usage = value;
          locals_.first_usage_extended = length == 4;
        }
        if (locals_.delimiter_depth > 0) locals_.in_delimiter_set_after_first = true;
        return true;
      case Delimiter:
        if (value == 1) {
          if (locals_.delimiter_depth != 0) return fail("nested delimiter");
          locals_.delimiter_depth = 1;
        } else if (value == 0) {
          if (locals_.delimiter_depth != 1) return fail("delimiter closed without open");
          locals_.delimiter_depth = 0;
          locals_.in_delimiter_set_after_first = false;
        } else {
          return fail("bad delimiter");
        }
        return true;
      default:
        // Usage maxima, designators, strings and reserved tags change no size.
        return true;
    }
  }

  bool main_item(unsigned tag, std::uint32_t value) {
    if (locals_.delimiter_depth != 0) return fail("main item inside a delimiter set");
    bool ok = true;
    switch (tag) {
      case Collection:
        ok = open_collection();
        break;
      case EndCollection:
        if (depth_ == 0) return fail("end collection without collection");
        --depth_;
        break;
      case Input:
      case Output:
      case Feature:
        ok = report_item(tag, value);
        break;
      default:
        break;  // a reserved main item describes no data; a HID stack passes over it
    }
    locals_ = Locals();
    return ok;
  }

  bool open_collection() {
    if (depth_ >= kMaxNesting) return fail("collections nested too deep");
    if (depth_ == 0) {
      if (collections_.size() >= kMaxCollections) return fail("too many collections");
      HidCollection collection;
      const std::uint32_t page = locals_.first_usage_extended ? locals_.first_usage >> 16 : globals_.usage_page;
      collection.usage_page = static_cast<std::uint16_t>(page);
      collection.usage = static_cast<std::uint16_t>(locals_.first_usage & 0xFFFFu);
      collections_.push_back(std::move(collection));
    }
    ++depth_;
    return true;
  }

  bool report_item(unsigned tag, std::uint32_t flags) {
    if (uses_ids_ && globals_.report_id == 0) return fail("report without id among reports with ids");
    if (!uses_ids_) main_items_without_id_ = true;
    const std::uint32_t bits = globals_.report_size * globals_.report_count;
    HidReportBits& total = totals_[globals_.report_id];
    unsigned& sum = tag == Input ? total.input : tag == Output ? total.output : total.feature;
    if (bits > kMaxReportBits - sum) return fail("report too long");
    sum += bits;
    if (depth_ == 0) return true;  // outside every collection: counts toward no collection
    HidCollection& collection = collections_.back();
    HidReportBits& mine = collection.reports[globals_.report_id];
    const bool constant = (flags & 0x1u) != 0;
    const int caps = locals_.usages == 0 ? 1 : static_cast<int>(locals_.usages);
    if (tag == Input) {
      mine.input += bits;
      if (!constant) collection.input_caps += caps;
    } else if (tag == Output) {
      mine.output += bits;
      if (!constant) collection.output_caps += caps;
    } else {
      mine.feature += bits;
    }
    return true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  std::string reason_;
  Globals globals_;
  Locals locals_;
  std::vector<Globals> stack_;
  std::size_t depth_ = 0;
  bool uses_ids_ = false;
  bool main_items_without_id_ = false;
  std::map<unsigned, HidReportBits> totals_;
  std::vector<HidCollection> collections_;
};

unsigned length_in_bytes(unsigned bits) { return bits == 0 ? 0 : (bits + 7) / 8 + 1; }

}  // namespace

std::vector<unsigned> HidCollection::output_report_ids() const {
  std::vector<unsigned> ids;
  for (const auto& [id, bits] : reports) {
    if (bits.output > 0) ids.push_back(id);
  }
  return ids;
}

std::vector<unsigned> HidCollection::input_report_ids() const {
  std::vector<unsigned> ids;
  for (const auto& [id, bits] : reports) {
    if (bits.input > 0) ids.push_back(id);
  }
  return ids;
}

bool HidReportDescriptor::parse(const std::uint8_t* data, std::size_t size, std::string& error) {
  collections_.clear();
  uses_report_ids_ = false;
  if (data == nullptr && size != 0) {
    error = "no descriptor";
    return false;
  }
  Parser parser(data, size);
  std::vector<HidCollection> collections;
  bool uses_ids = false;
  if (!parser.run(collections, uses_ids, error)) return false;
  for (HidCollection& collection : collections) {
    for (const auto& [id, bits] : collection.reports) {
      collection.input_length = std::max(collection.input_length, length_in_bytes(bits.input));
      collection.output_length = std::max(collection.output_length, length_in_bytes(bits.output));
    }
  }
  collections_ = std::move(collections);
  uses_report_ids_ = uses_ids;
  return true;
}

}  // namespace rodiz

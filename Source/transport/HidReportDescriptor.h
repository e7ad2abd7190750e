#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rodiz {

// The sizes of one report id inside one top-level collection, in bits of
// report data (the report id byte not included).
struct HidReportBits {
  unsigned input = 0;
  unsigned output = 0;
  unsigned feature = 0;
};

// One top-level collection of a HID report descriptor, with what a HID stack
// that shows each collection as its own device would report for it.
struct HidCollection {
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  // Report id (0 when the descriptor declares none) to its sizes.
  std::map<unsigned, HidReportBits> reports;
  // Data (non-constant) main items: one capability per item, or one per
  // usage or usage range listed for it.
  int input_caps = 0;
  int output_caps = 0;
  // Longest input and output report of the collection in bytes, one report-id
  // byte included whether or not the descriptor uses ids; 0 without such reports.
  unsigned input_length = 0;
  unsigned output_length = 0;

  // The ids of the collection's output reports, ascending.
  std::vector<unsigned> output_report_ids() const;
  // The ids of the collection's input reports, ascending.
  std::vector<unsigned> input_report_ids() const;
};

// A parsed HID report descriptor: its top-level collections with usage page,
// usage and report sizes. parse() accepts only well-formed descriptors within
// the limits a HID stack enforces (report size up to 256 bits, count up to
// 12288, reports up to 16384 bytes, four pushed states, balanced collections
// and delimiters, ids 1 to 255, no reserved items); anything else is refused
// with a reason and never read beyond the given bytes.
class HidReportDescriptor {
 public:
  // Parses `size` bytes at `data`. On failure returns false, leaves `*this`
  // empty and puts a one-line reason into `error`.
  bool parse(const std::uint8_t* data, std::size_t size, std::string& error);
  bool parse(const std::vector<std::uint8_t>& bytes, std::string& error) {
    return parse(bytes.data(), bytes.size(), error);
  }

  const std::vector<HidCollection>& collections() const { return collections_; }
  // Whether reports carry a report-id byte first.
  bool uses_report_ids() const { return uses_report_ids_; }

 private:
  std::vector<HidCollection> collections_;
  bool uses_report_ids_ = false;
};

}  // namespace rodiz

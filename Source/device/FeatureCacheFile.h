#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// The text form of a device's saved answers: one XML document per device
// (and optionally per product id) whose root element "cache" names the
// firmware identity and channel path it was made for, with one "command"
// element per cached request and its answer.
//
// Everything here is pure text work: the file names, the byte strings, the
// document. Reading and replacing the files is the caller's.
class FeatureCacheFile {
 public:
  using Entries = std::map<std::vector<Byte>, std::vector<Byte>>;

  // Files larger than this are not read: a real cache is a few kilobytes.
  static constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;

  // What a document held.
  struct Contents {
    bool has_cache = false;  // a "cache" element was found
    std::string fw;          // its firmware identity ("" when missing)
    std::string path;        // its channel path ("" when missing)
    // The entries in document order, swid nibble set to 0xA; only pairs that
    // could have come from an exchange (see usable_entry).
    std::vector<std::pair<std::vector<Byte>, std::vector<Byte>>> entries;
    // Entries left out because they cannot be a request and its answer.
    std::size_t unusable = 0;
  };

  // 32-bit FNV-1a of the bytes of `text`.
  static std::uint32_t path_hash(std::string_view text);
  // `directory` + pid in upper-case hex + "_" + path_hash(path) in upper-case
  // hex + ".xml". `directory` already ends with a separator.
  static std::string device_file_name(const std::string& directory, int pid, const std::string& path);
  // `directory` + pid in upper-case hex + ".xml".
  static std::string generic_file_name(const std::string& directory, int pid);

  // Two upper-case hex digits per byte, no separator.
  static std::string encode_hex(const std::vector<Byte>& bytes);
  // Reads pairs of characters from the start: a pair of two hex digits (either
  // case) is one byte, any other pair is skipped, an odd last character is
  // ignored.
  static std::vector<Byte> decode_hex(std::string_view text);
  // `report` with the software-id nibble of byte 3 set to 0xA, so that saved
  // answers do not depend on the swid in use. Reports of 3 bytes or fewer
  // are returned as they are.
  static std::vector<Byte> normalise_swid(std::vector<Byte> report);
  // Whether `key` is a cacheable FRAP 2.0 request (report id 0x10 or 0x11,
  // a feature index below 0x80) and `response` answers it (at least 4 bytes,
  // bytes 1 to 3 equal). Anything else could only make a later lookup fail.
  static bool usable_entry(const std::vector<Byte>& key, const std::vector<Byte>& response);

  // The document for `entries` (in key order) made for firmware `fw` on the
  // channel `path`, printed with the XML library's default indentation.
  static std::string format(const std::string& fw, const std::string& path, const Entries& entries);
  // Parses `text`. False, with a short reason in `error`, when it is not a
  // well-formed document (damaged or cut short); `out` is then left empty.
  // A document without a "cache" element is well formed and gives no entries.
  static bool parse(std::string text, Contents& out, std::string& error);
};

}  // namespace rodiz

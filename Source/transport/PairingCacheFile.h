#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace rodiz {

// The text form of the pairing cache "paired.xml": the Bluetooth devices the
// pairing filter remembers, so that a paired device is known at start-up even
// while it sleeps. A "devices" element holds one "device" element per device
// with the attributes path, pid (upper-case hexadecimal, no prefix), name,
// radio and interface.
//
// Pure text work: reading and replacing the file is the caller's.
class PairingCacheFile {
 public:
  // A real cache holds a handful of devices; anything larger is not read.
  static constexpr std::size_t kMaxFileSize = 1024 * 1024;

  struct Entry {
    std::string path;
    int pid = 0;
    std::string name;
    std::string radio;
    std::string interface;  // "bluetooth", "blepp" or "blefrapp"
  };

  // The interface text of a device: "bluetooth" for a classic device (bus
  // type 2); for a low-energy device "blepp" when its data channel is GATT,
  // "blefrapp" when it is HID.
  static std::string interface_name(int bus_type, bool gatt_data);

  // The document for `entries`, in their order, printed with the XML
  // library's default indentation.
  static std::string format(const std::vector<Entry>& entries);

  // Parses `text`. False, with a short reason in `error`, when the document is
  // damaged (not well formed, cut short, a zero byte inside, nested too
  // deeply); `out` is then empty. A "device" element lacking one of the five
  // attributes, or whose pid is not a hexadecimal number of at most four
  // digits, is left out and counted in `skipped`.
  static bool parse(std::string text, std::vector<Entry>& out, std::size_t& skipped, std::string& error);
};

}  // namespace rodiz

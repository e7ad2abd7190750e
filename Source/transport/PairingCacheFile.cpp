#include "transport/PairingCacheFile.h"

#include "runtime/GuardedXmlDocument.h"

#include <rapidxml.hpp>
#include <rapidxml_print.hpp>

#include <cstdio>
#include <iterator>
#include <memory>
#include <utility>

namespace rodiz {

namespace {

// The parser recurses once per element level: deeper documents are refused
// before parsing, so that a file of nested tags cannot exhaust the stack.
constexpr int kMaxDepth = 16;

bool attribute(const rapidxml::xml_node<>* node, const char* name, std::string& value) {
  const rapidxml::xml_attribute<>* a = node->first_attribute(name);
  if (!a) return false;
  value.assign(a->value(), a->value_size());
  return true;
}

bool parse_pid(const std::string& text, int& pid) {
  if (text.empty() || text.size() > 4) return false;
  int value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return false;
    value = value * 16 + digit;
  }
  pid = value;
  return true;
}

}  // namespace

std::string PairingCacheFile::interface_name(int bus_type, bool gatt_data) {
  if (bus_type == 3) return gatt_data ? "blepp" : "blefrapp";
  return "bluetooth";
}

std::string PairingCacheFile::format(const std::vector<Entry>& entries) {
  // The document carries a 64 KiB pool: on the heap, not on the caller's stack.
  auto owner = std::make_unique<rapidxml::xml_document<>>();
  rapidxml::xml_document<>& doc = *owner;
  // The document keeps pointers to its strings, so each is copied into its pool.
  auto attr = [&doc](const char* name, const std::string& value) {
    return doc.allocate_attribute(name, doc.allocate_string(value.data(), value.size()), 0, value.size());
  };

  rapidxml::xml_node<>* declaration = doc.allocate_node(rapidxml::node_declaration);
  declaration->append_attribute(doc.allocate_attribute("version", "1.0"));
  declaration->append_attribute(doc.allocate_attribute("encoding", "utf-8"));
  doc.append_node(declaration);

  rapidxml::xml_node<>* devices = doc.allocate_node(rapidxml::node_element, "devices");
  doc.append_node(devices);
  for (const Entry& entry : entries) {
    char pid[16];
    std::snprintf(pid, sizeof pid, "%X", static_cast<unsigned>(entry.pid) & 0xFFFFu);
    rapidxml::xml_node<>* device = doc.allocate_node(rapidxml::node_element, "device");
    device->append_attribute(attr("path", entry.path));
    device->append_attribute(attr("pid", pid));
    device->append_attribute(attr("name", entry.name));
    device->append_attribute(attr("radio", entry.radio));
    device->append_attribute(attr("interface", entry.interface));
    devices->append_node(device);
  }

  std::string out;
  rapidxml::print(std::back_inserter(out), doc);
  return out;
}

bool PairingCacheFile::parse(std::string text, std::vector<Entry>& out, std::size_t& skipped, std::string& error) {
  out.clear();
  skipped = 0;
  GuardedXmlDocument parsed;
  if (!parsed.parse(std::move(text), kMaxDepth, error)) return false;
  const rapidxml::xml_document<>& doc = parsed.document();
  const rapidxml::xml_node<>* devices = doc.first_node("devices");
  if (!devices) return true;
  for (const rapidxml::xml_node<>* node = devices->first_node("device"); node; node = node->next_sibling("device")) {
    Entry entry;
    std::string pid;
    if (!attribute(node, "path", entry.path) || !attribute(node, "pid", pid) || !attribute(node, "name", entry.name) ||
        !attribute(node, "radio", entry.radio) || !attribute(node, "interface", entry.interface) ||
        entry.path.empty() || !parse_pid(pid, entry.pid)) {
      ++skipped;
      continue;
    }
    out.push_back(std::move(entry));
  }
  return true;
}

}  // namespace rodiz

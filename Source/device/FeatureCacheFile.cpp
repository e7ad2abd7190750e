#include "device/FeatureCacheFile.h"

#include <rapidxml.hpp>
#include <rapidxml_print.hpp>

#include <cstdio>
#include <iterator>
#include <memory>
#include <utility>

#include "device/FrapReport.h"
#include "runtime/GuardedXmlDocument.h"

namespace rodiz {

namespace {

// Deeper documents are refused before parsing: the parser recurses once per
// level, and a file of a few megabytes of "<a>" would exhaust the stack.
constexpr int kMaxDepth = 32;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string upper_hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

std::string attribute(const rapidxml::xml_node<>* node, const char* name) {
  const rapidxml::xml_attribute<>* a = node->first_attribute(name);
  return a ? std::string(a->value(), a->value_size()) : std::string();
}

}  // namespace

std::uint32_t FeatureCacheFile::path_hash(std::string_view text) {
  std::uint32_t hash = 0x811C9DC5u;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

std::string FeatureCacheFile::device_file_name(const std::string& directory, int pid, const std::string& path) {
  return directory + upper_hex(static_cast<unsigned>(pid)) + "_" + upper_hex(path_hash(path)) + ".xml";
}

std::string FeatureCacheFile::generic_file_name(const std::string& directory, int pid) {
  return directory + upper_hex(static_cast<unsigned>(pid)) + ".xml";
}

std::string FeatureCacheFile::encode_hex(const std::vector<Byte>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (Byte b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::vector<Byte> FeatureCacheFile::decode_hex(std::string_view text) {
  std::vector<Byte> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    if (high >= 0 && low >= 0) bytes.push_back(static_cast<Byte>(high << 4 | low));
  }
  return bytes;
}

std::vector<Byte> FeatureCacheFile::normalise_swid(std::vector<Byte> report) {
  if (report.size() > 3) report[3] = static_cast<Byte>((report[3] & 0xF0) | 0x0A);
  return report;
}

bool FeatureCacheFile::usable_entry(const std::vector<Byte>& key, const std::vector<Byte>& response) {
  if (key.size() < 4 || response.size() < 4) return false;
  if (key[0] != frap::kShortReportId && key[0] != frap::kLongReportId) return false;
  if (key[2] >= frap::kFirstFrap10SubId) return false;
  return response[1] == key[1] && response[2] == key[2] && response[3] == key[3];
}

std::string FeatureCacheFile::format(const std::string& fw, const std::string& path, const Entries& entries) {
  // The document carries a 64 KiB pool: on the heap, not on the caller's stack.
  auto owner = std::make_unique<rapidxml::xml_document<>>();
  rapidxml::xml_document<>& doc = *owner;
  // The document keeps pointers to its strings: every text it prints is
  // allocated from its own pool.
  auto text = [&doc](const std::string& s) { return doc.allocate_string(s.data(), s.size()); };

  rapidxml::xml_node<>* declaration = doc.allocate_node(rapidxml::node_declaration);
  declaration->append_attribute(doc.allocate_attribute("version", "1.0"));
  declaration->append_attribute(doc.allocate_attribute("encoding", "utf-8"));
  doc.append_node(declaration);

  rapidxml::xml_node<>* cache = doc.allocate_node(rapidxml::node_element, "cache");
  cache->append_attribute(doc.allocate_attribute("fw", text(fw), 0, fw.size()));
  cache->append_attribute(doc.allocate_attribute("path", text(path), 0, path.size()));
  doc.append_node(cache);

  for (const auto& [key, response] : entries) {
    const std::string cmd = encode_hex(normalise_swid(key));
    const std::string rsp = encode_hex(normalise_swid(response));
    rapidxml::xml_node<>* command = doc.allocate_node(rapidxml::node_element, "command");
    command->append_attribute(doc.allocate_attribute("cmd", text(cmd), 0, cmd.size()));
    command->append_attribute(doc.allocate_attribute("rsp", text(rsp), 0, rsp.size()));
    cache->append_node(command);
  }

  std::string out;
  rapidxml::print(std::back_inserter(out), doc);
  return out;
}

bool FeatureCacheFile::parse(std::string text, Contents& out, std::string& error) {
  out = Contents();
  GuardedXmlDocument parsed;
  if (!parsed.parse(std::move(text), kMaxDepth, error)) return false;
  const rapidxml::xml_document<>& doc = parsed.document();

  const rapidxml::xml_node<>* cache = doc.first_node("cache");
  if (!cache) return true;
  out.has_cache = true;
  out.fw = attribute(cache, "fw");
  out.path = attribute(cache, "path");
  // From the first "command" on, every following element is an entry.
  for (const rapidxml::xml_node<>* node = cache->first_node("command"); node; node = node->next_sibling()) {
    if (node->type() != rapidxml::node_element) continue;
    std::vector<Byte> key = normalise_swid(decode_hex(attribute(node, "cmd")));
    std::vector<Byte> response = normalise_swid(decode_hex(attribute(node, "rsp")));
    if (!usable_entry(key, response)) {
      ++out.unusable;
      continue;
    }
    out.entries.emplace_back(std::move(key), std::move(response));
  }
  return true;
}

}  // namespace rodiz

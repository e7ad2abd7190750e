#include "app/FirmwareImageSet.h"

#include <cstdio>
#include <utility>

#include "app/FirmwareResources.h"
#include "app/ImageChecksum.h"

namespace mirel {

FirmwareImageSet::FirmwareImageSet() : m_loader(LoadFirmwareResource), m_digests(FirmwareResources::RecordedDigest) {}

FirmwareImageSet::FirmwareImageSet(ResourceLoader loader, DigestLookup digests)
    : m_loader(std::move(loader)), m_digests(std::move(digests)) {}

bool FirmwareImageSet::CheckImages(std::string* problem) const {
  if (!m_digests) return true;
  const std::pair<int, int> ids[] = {{kMainImageKey, FirmwareResources::kMainImageId},
                                     {kSecondImageKey, FirmwareResources::kSecondImageId}};
  for (const auto& [key, resourceId] : ids) {
    std::uint32_t size = 0;
    std::uint32_t crc = 0;
    if (!m_digests(resourceId, &size, &crc)) continue;
    const auto it = images.find(key);
    const DFUWriter* writer = it == images.end() ? nullptr : it->second.get();
    const std::uint32_t found_size = writer ? writer->size : 0;
    const std::uint32_t found_crc = writer && writer->data ? ImageChecksum::Crc32(writer->data, writer->size) : 0;
    if (found_size == size && found_crc == crc) continue;
    char text[200];
    std::snprintf(text, sizeof text,
                  "image %d (resource %d) has %u bytes with checksum %08X; it was built in with %u bytes and "
                  "checksum %08X",
                  key, resourceId, static_cast<unsigned>(found_size), static_cast<unsigned>(found_crc),
                  static_cast<unsigned>(size), static_cast<unsigned>(crc));
    *problem = text;
    return false;
  }
  return true;
}

bool FirmwareImageSet::LoadImage(int resourceId) {
  int key = 0;
  if (resourceId == FirmwareResources::kMainImageId) {
    key = kMainImageKey;
  } else if (resourceId == FirmwareResources::kSecondImageId) {
    key = kSecondImageKey;
  } else {
    return false;
  }
  auto& writer = images[key];
  if (!writer) writer = std::make_shared<DFUWriter>();

  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  // A loader that claims success without bytes is treated as a failed load.
  if (!m_loader || !m_loader(resourceId, &data, &size) || data == nullptr || size == 0) return false;

  writer->size = size;
  writer->data = data;
  writer->packets = DFUWriter::PacketsFor(size);
  totalBytes += size;
  totalPackets += writer->packets;
  return true;
}

bool FirmwareImageSet::LoadImages() {
  totalPackets = 0;
  totalBytes = 0;
  images.clear();
  totalBytes += kProgressReserve;
  images[kMainImageKey] = std::make_shared<DFUWriter>();
  images[kSecondImageKey] = std::make_shared<DFUWriter>();

  if (images[kMainImageKey]->size == 0) LoadImage(FirmwareResources::kMainImageId);
  if (images[kSecondImageKey]->size == 0) LoadImage(FirmwareResources::kSecondImageId);

  return images.count(kMainImageKey) != 0 && images.count(kSecondImageKey) != 0;
}

void FirmwareImageSet::ResetOffsets() {
  for (auto& [key, writer] : images) {
    if (writer) writer->offset = 0;
  }
}

}  // namespace mirel

#include "app/FirmwareImageSet.h"

#include <utility>

#include "app/FirmwareResources.h"

namespace mirel {

FirmwareImageSet::FirmwareImageSet() : m_loader(LoadFirmwareResource) {}

FirmwareImageSet::FirmwareImageSet(ResourceLoader loader) : m_loader(std::move(loader)) {}

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

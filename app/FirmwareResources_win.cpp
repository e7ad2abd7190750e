#include "app/FirmwareResources.h"

#include <windows.h>

namespace mirel {

bool FirmwareResources::Load(int resourceId, const std::uint8_t** data, std::uint32_t* size) {
  // Resource ids are 16-bit; anything else would be read as a name pointer.
  if (data == nullptr || size == nullptr || resourceId <= 0 || resourceId > 0xFFFF) return false;
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"FIRMWARE");
  if (info == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) return false;
  const DWORD bytes = SizeofResource(module, info);
  if (bytes == 0) return false;
  // The image of the executable stays mapped until the process ends, so the
  // pointer needs no unlock or release.
  const void* locked = LockResource(loaded);
  if (locked == nullptr) return false;
  *data = static_cast<const std::uint8_t*>(locked);
  *size = static_cast<std::uint32_t>(bytes);
  return true;
}

}  // namespace mirel

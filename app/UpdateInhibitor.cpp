#include "app/UpdateInhibitor.h"

#if defined(_WIN32)
#include "app/Win32HostSystem.h"
#include "app/Win32UpdateInhibitor.h"
#else
#include "app/LogindInhibitor.h"
#endif

namespace mirel {

std::unique_ptr<UpdateInhibitor> UpdateInhibitor::ForThisPlatform() {
#if defined(_WIN32)
  return std::make_unique<Win32UpdateInhibitor>(std::make_shared<Win32HostSystem>());
#else
  return std::make_unique<LogindInhibitor>();
#endif
}

bool UpdateInhibitor::Acquire(const std::string& /*reason*/) { return false; }

void UpdateInhibitor::Release() {}

bool UpdateInhibitor::held() const { return false; }

}  // namespace mirel

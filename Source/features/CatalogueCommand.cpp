#include "features/CatalogueCommand.h"

#include <string>

#include "device/LastError.h"
#include "features/Feature.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

void log_failure(const char* class_name, const char* operation) {
  const std::string function = std::string("rodiz::") + class_name + "::" + operation;
  xLogWrite(class_name, LogDebug, function.c_str(), "%s::%s failed", class_name, operation);
}

}  // namespace

bool CatalogueCommand::fits(const std::vector<Byte>& params) {
  if (params.size() <= kMaxParams) return true;
  set_last_error(ParameterSizeMismatch, 0, "more parameters than a long report carries");
  return false;
}

bool CatalogueCommand::exchange(Feature& feature, const char* class_name, const char* operation, unsigned function,
                                const std::vector<Byte>& params, std::vector<Byte>* response) {
  if (!fits(params)) return false;
  std::vector<Byte> answer;
  if (!feature.sendFeatureCommand(function, params, answer, 0)) {
    log_failure(class_name, operation);
    return false;
  }
  if (response) *response = std::move(answer);
  return true;
}

bool CatalogueCommand::send(Feature& feature, const char* class_name, const char* operation, unsigned function,
                            const std::vector<Byte>& params) {
  if (!fits(params)) return false;
  if (!feature.sendFeatureCommand(function, params)) {
    log_failure(class_name, operation);
    return false;
  }
  return true;
}

}  // namespace rodiz

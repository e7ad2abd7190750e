#include "app/console/JsonView.h"

#include <nlohmann/json.hpp>

#include "app/CMirelDFUDlg.h"
#include "app/ProductInfo.h"
#include "app/res/resource.h"

namespace mirel {

JsonView::JsonView(std::FILE* out, bool auto_answer, bool interactive) : ConsoleView(out, auto_answer, interactive) {}

const char* JsonView::StateName(int state) {
  switch (state) {
    case CMirelDFUDlg::WaitingForDevice:
      return "WaitingForDevice";
    case CMirelDFUDlg::ReadyToStart:
      return "ReadyToStart";
    case CMirelDFUDlg::EnteringBootloader:
      return "EnteringBootloader";
    case CMirelDFUDlg::SendingImage1:
      return "SendingImage1";
    case CMirelDFUDlg::SendingImage2:
      return "SendingImage2";
    case CMirelDFUDlg::Restarting:
      return "Restarting";
    case CMirelDFUDlg::AwaitingPowerCycle:
      return "AwaitingPowerCycle";
    case CMirelDFUDlg::RestoringSettings:
      return "RestoringSettings";
    case CMirelDFUDlg::Succeeded:
      return "Succeeded";
    case CMirelDFUDlg::UpToDate:
      return "UpToDate";
    case CMirelDFUDlg::Failed:
      return "Failed";
    default:
      return "Unknown";
  }
}

void JsonView::emit(const std::string& object) { write(object + "\n"); }

void JsonView::print_line(const std::string& text) {
  if (text.empty()) return;
  // Texts come from tables and the program; replace rather than throw on
  // anything that is not UTF-8.
  emit(nlohmann::json{{"event", "message"}, {"text", text}}.dump(-1, ' ', false,
                                                                 nlohmann::json::error_handler_t::replace));
}

void JsonView::set_text(int control, const std::string& text) {
  if (control != IDC_STATUS || text == m_lastStatus) return;
  m_lastStatus = text;
  emit(nlohmann::json{{"event", "status"}, {"text", text}}.dump(-1, ' ', false,
                                                                nlohmann::json::error_handler_t::replace));
}

void JsonView::device_found(int product_id, const std::string& version) {
  m_bootloader = product_id == CMirelDFUDlg::kBootloaderPid;
  if (!version.empty()) m_version = version;
  nlohmann::json object{
      {"event", "device"}, {"product_id", product_id}, {"mode", m_bootloader ? "bootloader" : "application"}};
  object["version"] = version.empty() ? nlohmann::json(nullptr) : nlohmann::json(version);
  emit(object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void JsonView::state_changed(int state) {
  emit(nlohmann::json{{"event", "state"}, {"state", state}, {"name", StateName(state)}}.dump());
}

void JsonView::restoring_settings() {}

void JsonView::draw_progress(bool force) {
  if (!progress_shown() || closing()) return;
  const std::uint32_t span = progress_span();
  if (span == 0) return;
  const std::uint32_t done = progress_done();
  const int percent = static_cast<int>(static_cast<unsigned long long>(done) * 100 / span);
  if (!force && percent == m_lastPercent && span == m_total) return;
  m_lastPercent = percent;
  m_total = span;
  emit(nlohmann::json{{"event", "progress"}, {"bytes", done}, {"total", span}}.dump());
}

void JsonView::report_end(ExitStatus status, const std::string& reason) {
  if (status == ExitStatus::UpToDate || status == ExitStatus::UpdateNeeded) {
    nlohmann::json check{{"event", "check"}, {"carried", kPackageVersion}};
    check["current"] = m_bootloader || m_version.empty() ? nlohmann::json(nullptr) : nlohmann::json(m_version);
    check["update_needed"] = status == ExitStatus::UpdateNeeded;
    emit(check.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  emit(nlohmann::json{
      {"event", "result"}, {"exit_status", ToInt(status)}, {"result", ExitStatusName(status)}, {"reason", reason}}
           .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace mirel

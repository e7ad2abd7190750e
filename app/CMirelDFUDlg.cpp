#include "app/CMirelDFUDlg.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "app/AppTrace.h"
#include "app/ProductInfo.h"
#include "app/StringTable.h"
#include "app/res/resource.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "features/IFeature8100OnboardProfiles.h"
#include "runtime/SettingsKey.h"

namespace mirel {

namespace {

// Taken at most once per process, never cleared.
std::atomic<bool> g_failure_path_taken{false};

unsigned parse_decimal(const std::string& text, std::size_t from) {
  unsigned value = 0;
  for (std::size_t i = from; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

}  // namespace

CMirelDFUDlg::CMirelDFUDlg(IDialogView& view, std::shared_ptr<rodiz::IDeviceManager> library, HostSoftware& host,
                           FirmwareImageSet images, Options options, UpdateInhibitor* inhibitor)
    : m_view(view),
      m_library(std::move(library)),
      m_host(host),
      m_options(options),
      m_inhibitor(inhibitor),
      m_images(std::move(images)) {
  if (m_options.log_enabled) AppTrace::OpenLogFile();
  // Seeded from the millisecond tick count, as the library's random users expect.
  const auto ticks =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  std::srand(static_cast<unsigned>(ticks));
}

CMirelDFUDlg::~CMirelDFUDlg() {
  if (m_inhibitor) m_inhibitor->Release();
  // Unsubscribe before the members go: queued events for us are dropped.
  rodiz::Subscriber<rodiz::IFeature00d0DFU::Report>::leave_all();
  rodiz::Subscriber<rodiz::IDeviceManager::UnreportedError>::leave_all();
  rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>::leave_all();
  rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent>::leave_all();
  m_f00d0.reset();
  m_f00c2.reset();
  m_targetDevice.reset();
}

bool CMirelDFUDlg::failure_path_taken() { return g_failure_path_taken; }

void CMirelDFUDlg::reset_failure_path_for_testing() { g_failure_path_taken = false; }

// ---------------------------------------------------------------------------
// Start-up

bool CMirelDFUDlg::OnInitDialog() {
  m_view.set_window_icon(IDI_MIREL_APP);

  // A check writes nothing and needs the mouse for no update: the host
  // software may keep it.
  bool host_was_running = false;
  if (!m_options.check_only) m_hostSoftwarePath = m_host.ShutDown(&host_was_running);
  relaunchHostSoftware = host_was_running;

  CountStart();

  if (m_library) {
    m_library->config_set(5, true);
    rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent>::subscribe(m_library, rodiz::DeliveryImmediate,
                                                                      "CMirelDFUDlg::RunLoopEvent");
    // Before the arrivals: the first arrival subscription starts the buses,
    // whose first listing may already fail to open the mouse.
    rodiz::Subscriber<rodiz::IDeviceManager::UnreportedError>::subscribe(m_library, rodiz::DeliveryRunLoop, "");
    rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>::subscribe(m_library, rodiz::DeliveryRunLoop, "");
  }

  m_view.set_window_title(StringTable::LoadText(IDS_WINDOW_TITLE));
  m_view.set_text(IDC_TITLE, StringTable::LoadText(IDS_TITLE_LINE));
  m_view.set_text(IDC_WARNING, StringTable::LoadText(IDS_WARNING_LINE));
  m_view.set_text(IDC_RELEASE_NOTES_HEADING, StringTable::LoadText(IDS_RELEASE_NOTES_HEADING));
  m_view.set_text(IDC_CLOSE, StringTable::LoadText(IDS_CLOSE));
  m_view.set_text(IDC_START, StringTable::LoadText(IDS_START));
  m_view.add_list_entry(IDC_RELEASE_NOTES, "* " + StringTable::LoadText(IDS_RELEASE_NOTE));

  LoadImages();

  m_view.make_bold(IDC_STATUS);
  m_view.set_product_picture(IDI_PRODUCT);

  if (m_library) {
    for (const std::shared_ptr<rodiz::IDevice>& device : m_library->devices()) onDeviceArrival(device);
  }
  if (!m_targetDevice) SwitchToState(WaitingForDevice);

  m_view.set_list_extent(IDC_RELEASE_NOTES, 1200);
  // Also when a mouse was held from the start: it may not answer.
  if (m_options.timeout_ms > 0) m_view.set_timer(UnattendedTimer, m_options.timeout_ms);
  return true;
}

void CMirelDFUDlg::CountStart() {
  // Counted only in a key that exists: starting the program never creates it.
  std::unique_ptr<rodiz::SettingsKey> key = rodiz::SettingsKey::open(ProfileBackup::AppKeyPath(), true);
  if (!key) return;
  const std::uint32_t starts = key->get_dword("NumRetries").value_or(0);
  key->set_dword("NumRetries", starts + 1);
}

void CMirelDFUDlg::LoadImages() {
  if (!m_images.LoadImages()) FailurePath();
  std::string problem;
  if (!m_images.CheckImages(&problem)) {
    m_imagesDamaged = true;
    Trace("  the firmware images inside this program are damaged: %s\n", problem.c_str());
  }
}

// ---------------------------------------------------------------------------
// Messages, timers and buttons

void CMirelDFUDlg::onRunLoopEvent() {
  // Any library thread: only wake the controller's thread.
  m_view.post_message(MSG_RUN_LOOP_EVENT, 0);
}

void CMirelDFUDlg::OnMessage(unsigned message, std::uintptr_t wparam) {
  if (message == MSG_RUN_LOOP_EVENT) {
    if (m_library) m_library->call_event_from_runloop();
  } else if (message == MSG_SWITCH_STATE) {
    SwitchToState(static_cast<int>(wparam));
  }
}

void CMirelDFUDlg::StopTimer(unsigned id) { m_view.kill_timer(id); }

void CMirelDFUDlg::OnTimer(unsigned id) {
  Trace("CMirelDFUDlg::OnTimer, state=%d, id=0x%08x\n", m_state, id);
  switch (id) {
    case DetachWaitTimer:
      StopTimer(id);
      if (!m_targetDevice) SwitchToState(WaitingForDevice);
      break;
    case ExitCountdownTimer:
      if (--exitCountdown <= 0) {
        StopTimer(id);
        relaunchHostSoftware = true;
        RelaunchHostSoftware();
        m_view.end_dialog(0);
      }
      break;
    case PowerCycleTimer:
      StopTimer(id);
      SwitchToState(AwaitingPowerCycle);
      break;
    case PacketWatchdogTimer:
      StopTimer(id);
      RetryDfu();
      break;
    case RetryDelayTimer:
      StopTimer(id);
      RetryDfu();
      break;
    case UnattendedTimer:
      // A transfer, a restart or an ending under way has watchdogs of its
      // own; only a wait for a mouse can last forever.
      if (m_state == WaitingForDevice || m_state == EnteringBootloader || m_state == AwaitingPowerCycle) {
        StopTimer(id);
        TimeOut();
      }
      break;
    default:
      StopTimer(id);
      break;
  }
}

void CMirelDFUDlg::OnStart() {
  if (!MayWriteImages()) return;
  m_view.show(IDC_START, false);
  SetStatusText(IDS_STATUS_PREPARING);
  m_view.show(IDC_PROGRESS, true);
  SwitchToState(EnteringBootloader);
}

void CMirelDFUDlg::OnClose() {
  const bool closable = m_state == WaitingForDevice || m_state == ReadyToStart || m_state == Succeeded ||
                        m_state == UpToDate || m_state == Failed;
  if (m_targetDevice && !closable) return;
  if (relaunchHostSoftware) RelaunchHostSoftware();
  m_view.end_dialog(0);
}

void CMirelDFUDlg::Abandon() {
  Trace("CMirelDFUDlg::Abandon, state=%d\n", m_state);
  m_abandoned = true;
  if (m_inhibitor) m_inhibitor->Release();
  if (relaunchHostSoftware) RelaunchHostSoftware();
  m_view.end_dialog(0);
}

void CMirelDFUDlg::TimeOut() {
  const std::string seconds = std::to_string((m_options.timeout_ms + 999) / 1000);
  unsigned reason = IDS_REASON_NO_MOUSE;
  if (g_failure_path_taken) {
    // The mouse was restarted after the last failed attempt and is ignored
    // from then on: the wait is the failure's.
    reason = IDS_REASON_TRANSFER_FAILED;
  } else if (m_state == WaitingForDevice && (m_targetDevice || m_notAnswering)) {
    reason = IDS_REASON_NO_ANSWER;
  } else if (m_flashBegun) {
    // Off to its bootloader, restarted or lost midway, and not back.
    reason = IDS_REASON_NOT_BACK;
  }
  m_endReason = StringTable::ReplaceAll(StringTable::LoadText(reason), "%%SECONDS%%", seconds);
  Trace("CMirelDFUDlg::TimeOut, state=%d: %s\n", m_state, m_endReason.c_str());
  m_timedOut = true;
  if (relaunchHostSoftware) RelaunchHostSoftware();
  m_view.end_dialog(0);
}

void CMirelDFUDlg::FinishCheck(bool needed) {
  Trace("CMirelDFUDlg::FinishCheck, update %s\n", needed ? "needed" : "not needed");
  m_checkDone = true;
  m_updateNeeded = needed;
  SetStatusText(needed ? IDS_STATUS_UPDATE_NEEDED : IDS_STATUS_UP_TO_DATE);
  m_view.end_dialog(0);
}

void CMirelDFUDlg::ReportNotAnswering() {
  m_notAnswering = true;
  Trace("  the mouse did not answer within %u ms; its exchanges were abandoned\n", kAnswerLimitMs);
  SetStatusText(IDS_STATUS_NO_ANSWER);
}

bool CMirelDFUDlg::IsFlashing(int state) { return state >= EnteringBootloader && state <= RestoringSettings; }

void CMirelDFUDlg::RelaunchHostSoftware() {
  std::optional<std::string> path;
  if (std::unique_ptr<rodiz::SettingsKey> key = rodiz::SettingsKey::open(ProfileBackup::AppKeyPath())) {
    path = key->get_string("MoxelPath");
  }
  if (path) {
    if (path->size() < 520) m_host.Relaunch(*path);
    return;
  }
  // The stored path is only written when an update starts: without it, the
  // program found at start-up (killed by this run) is started again all the
  // same rather than left closed.
  if (!m_hostSoftwarePath.empty()) m_host.Relaunch(m_hostSoftwarePath);
}

void CMirelDFUDlg::ProtectFlash() {
  if (!m_inhibitor) return;
  if (!IsFlashing(m_state)) {
    m_inhibitor->Release();
    return;
  }
  if (m_inhibitor->held()) return;
  m_inhibitor->Acquire(std::string("Updating the firmware of the ") + kProductName +
                       "; stopping now can leave the mouse without working firmware.");
}

void CMirelDFUDlg::SaveProfileCopy() {
  if (m_backup.SaveToRegistry(m_hostSoftwarePath) != ProfileBackup::SaveResult::StoreBusy) return;
  // Said before the mouse is sent to its bootloader: if this run is cut
  // short, no stored copy brings the settings back.
  if (m_storeBusyReported) return;
  m_storeBusyReported = true;
  static constexpr const char* kBusy =
      "The settings store is busy (another program holds it); the copy of the mouse's settings is held in memory "
      "only.";
  Trace("%s\n", kBusy);
  m_view.show_notice(kBusy);
}

void CMirelDFUDlg::RestorePendingCopy() {
  // A copy held in memory belongs to this run's own update.
  if (!m_targetDevice || m_backup.HasBuffer()) return;
  const ProfileBackup::Copy noted = m_backup.copy();
  if (!m_backup.LoadFromRegistry() || !m_backup.IsComplete()) {
    m_backup.Drop();
    m_backup.NoteProfileInfo(noted.sectorCount, noted.sectorSize);
    return;
  }
  Trace("  a saved copy of the mouse's settings was never written back: writing it back now\n");
  m_backup.WriteLedSetting(*m_targetDevice);
  if (m_backup.WriteBack(m_targetDevice.get(), nullptr)) {
    m_backup.ForgetRestoredCopy();
    Trace("  the saved copy of the mouse's settings was written back\n");
  } else {
    Trace("  the saved copy of the mouse's settings could not be written back; it is kept\n");
  }
  m_backup.Drop();
  m_backup.NoteProfileInfo(noted.sectorCount, noted.sectorSize);
}

void CMirelDFUDlg::RefuseTestImages() {
  m_view.show(IDC_PROGRESS, false);
  m_view.show(IDC_START, false);
  if (m_imagesDamaged) {
    Trace("  the images are damaged: the update of this mouse is refused\n");
    m_refusedDamagedImages = true;
    m_endReason =
        "The firmware images inside this program are damaged, so it cannot update your mouse. Nothing was written to "
        "your mouse. Download the update program again.";
    m_view.set_text(IDC_STATUS, m_endReason);
    m_view.show(IDC_CLOSE, true);
    return;
  }
  Trace("  the images are test images: the update of this mouse is refused\n");
  m_refusedTestImages = true;
  m_endReason =
      "This program carries test firmware images, which are never written to a real mouse. Nothing was written to "
      "your mouse. Use a build made with the released firmware images.";
  m_view.set_text(IDC_STATUS, m_endReason);
  m_view.show(IDC_CLOSE, true);
}

void CMirelDFUDlg::SetStatusText(unsigned text_id) { m_view.set_text(IDC_STATUS, StringTable::LoadText(text_id)); }

// ---------------------------------------------------------------------------
// States

void CMirelDFUDlg::SwitchToState(int state) {
  Trace("CMirelDFUDlg::SwitchToState() called from %d to %d\n", m_state, state);
  m_state = state;
  if (state == EnteringBootloader) m_flashBegun = true;
  // A new state is progress: the unattended wait starts again.
  if (m_options.timeout_ms > 0) m_view.set_timer(UnattendedTimer, m_options.timeout_ms);
  m_view.state_changed(state);
  // Before the entry actions: the backup of state 3 is part of the flash.
  ProtectFlash();
  switch (state) {
    case WaitingForDevice:
      m_view.show(IDC_PROGRESS, false);
      m_view.show(IDC_START, false);
      m_view.show(IDC_CLOSE, false);
      SetStatusText(IDS_STATUS_CONNECT);
      break;
    case ReadyToStart:
      m_view.show(IDC_PROGRESS, false);
      m_view.show(IDC_START, true);
      m_view.show(IDC_CLOSE, false);
      SetStatusText(IDS_STATUS_CLICK_START);
      break;
    case EnteringBootloader: {
      if (m_targetDevice) m_host.TraceOtherUsers(m_targetDevice->path());
      if (m_targetDevice) m_backup.ReadLedSetting(*m_targetDevice);
      m_backup.Drop();
      m_view.set_busy(true);
      if (!m_backup.BackupFeature8100(m_targetDevice.get())) m_backup.Drop();
      m_view.set_busy(false);
      SaveProfileCopy();
      EnterBootloader();
      break;
    }
    case SendingImage1:
      if (m_targetDevice) m_host.TraceOtherUsers(m_targetDevice->path());
      ResetTransfer();
      m_progress = 0;
      m_view.set_progress_range(0, m_images.totalBytes);
      m_view.set_progress_step(1);
      m_view.set_progress_position(0);
      StartImage(FirmwareImageSet::kMainImageKey);
      break;
    case SendingImage2:
      StartImage(FirmwareImageSet::kSecondImageKey);
      break;
    case AwaitingPowerCycle:
      SetStatusText(IDS_STATUS_POWER_CYCLE);
      break;
    case RestoringSettings: {
      m_progress = m_images.totalBytes;
      m_view.set_progress_position(m_progress);
      m_view.show(IDC_PROGRESS, true);
      m_view.show(IDC_START, false);
      m_view.restoring_settings();
      if (m_targetDevice && !m_backup.HasBuffer()) m_backup.LoadFromRegistry();
      if (m_targetDevice) m_backup.WriteLedSetting(*m_targetDevice);
      if (m_backup.WriteBack(m_targetDevice.get(), &m_progress)) {
        m_view.set_progress_position(m_progress);
        m_backup.ForgetRestoredCopy();
      } else if (m_backup.IsComplete()) {
        // The firmware is in place; the settings are not, and must not be
        // reported as restored. The stored copy stays for the next arrival.
        static constexpr const char* kNotRestored =
            "The mouse's settings could not be written back yet. They are kept, and are written back the next time "
            "this program finds the mouse.";
        Trace("%s\n", kNotRestored);
        m_view.show_notice(kNotRestored);
      }
      m_backup.Drop();
      m_view.post_message(MSG_SWITCH_STATE, Succeeded);
      break;
    }
    case Succeeded:
      SetStatusText(IDS_STATUS_SUCCESS);
      m_view.show(IDC_CLOSE, true);
      m_view.show(IDC_PROGRESS, false);
      break;
    case UpToDate:
      SetStatusText(IDS_STATUS_UP_TO_DATE);
      m_view.show(IDC_CLOSE, true);
      m_view.show(IDC_PROGRESS, false);
      break;
    case Failed:
      SetStatusText(IDS_STATUS_FAILED_RETRY);
      if (m_endReason.empty()) m_endReason = StringTable::LoadText(IDS_REASON_TRANSFER_FAILED);
      break;
    default:
      // 1, 6 and numbers outside the table: stored, nothing else.
      break;
  }
}

// ---------------------------------------------------------------------------
// Devices

void CMirelDFUDlg::onDeviceArrival(std::shared_ptr<rodiz::IDevice> device) {
  Trace("CMirelDFUDlg::onDeviceArrival, pid=0x%x, dfu state=%d\n", device ? static_cast<unsigned>(device->pid()) : 0u,
        m_state);
  if (retryCount >= 3 || !device || m_targetDevice) return;
  const int pid = device->pid();
  if (pid == kBootloaderPid) {
    m_targetDevice = device;
    onDeviceBootLoaderAttached();
  } else if (pid == kApplicationPid) {
    m_targetDevice = device;
    onDeviceAttached();
  }
}

void CMirelDFUDlg::onDeviceRemoval(std::shared_ptr<rodiz::IDevice> device) {
  if (!device || !m_targetDevice) return;
  // The product id alone decides, not whether it is the device held.
  const int pid = device->pid();
  if (pid == kBootloaderPid) {
    onDeviceBootLoaderDetached();
  } else if (pid == kApplicationPid) {
    onDeviceDetached();
  }
}

void CMirelDFUDlg::ReleaseDevice() {
  if (m_f00d0) rodiz::Subscriber<rodiz::IFeature00d0DFU::Report>::unsubscribe(m_f00d0);
  m_targetDevice.reset();
  m_f00c2.reset();
  m_f00d0.reset();
}

void CMirelDFUDlg::onUnreportedError(const char* context, rodiz::ErrorCode code, const char* message,
                                     unsigned long system) {
  Trace("CMirelDFUDlg::onUnreportedError, context=%s, code=%d, system=%lu, %s\n", context ? context : "",
        static_cast<int>(code), system, message ? message : "");
  if (code != rodiz::CreateFileFailed || message == nullptr || message[0] == '\0') return;
  // While a mouse is held the status belongs to its update.
  if (m_targetDevice) return;
  m_view.set_text(IDC_STATUS, message);
}

void CMirelDFUDlg::onDeviceDetached() {
  Trace("CMirelDFUDlg::onDeviceDetached\n");
  ReleaseDevice();
  ResetTransfer();
  if (m_state == EnteringBootloader) {
    // The mouse is rebooting into its bootloader.
    m_view.set_timer(DetachWaitTimer, kDetachWaitMs);
  } else {
    SwitchToState(WaitingForDevice);
  }
}

void CMirelDFUDlg::onDeviceBootLoaderAttached() {
  Trace("CMirelDFUDlg::onDeviceBootLoaderAttached\n");
  StopTimer(DetachWaitTimer);
  m_view.device_found(kBootloaderPid, std::string());
  if (m_options.check_only) {
    // A mouse in its bootloader has no working firmware: it needs the update.
    FinishCheck(true);
    return;
  }
  if (!MayWriteImages()) {
    RefuseTestImages();
    return;
  }
  SwitchToState(SendingImage1);
}

void CMirelDFUDlg::onDeviceBootLoaderDetached() {
  Trace("CMirelDFUDlg::onDeviceBootLoaderDetached\n");
  ReleaseDevice();
  ResetTransfer();
  // In state 7 this removal is the power cycle the window asked for: the
  // mouse comes back in application mode and its settings must be written
  // back (state 8). Starting over from state 0 would find it up to date and
  // leave the settings unrestored.
  if (m_state != Restarting && m_state != AwaitingPowerCycle && m_state != Failed) SwitchToState(WaitingForDevice);
}

void CMirelDFUDlg::ResetTransfer() {
  m_images.ResetOffsets();
  m_currentImageKey = 0;
  m_currentWriter.reset();
  StopTimer(RetryDelayTimer);
  StopTimer(PacketWatchdogTimer);
}

void CMirelDFUDlg::onDeviceAttached() {
  m_notAnswering = false;
  // Arms only for a mouse that is there; the steps below end with it.
  if (m_targetDevice) m_answerWatch.Begin(m_targetDevice);
  AttachSteps();
  if (m_answerWatch.End()) ReportNotAnswering();
}

void CMirelDFUDlg::AttachSteps() {
  Trace("CMirelDFUDlg::onDeviceAttached\n");
  if (!m_targetDevice) {
    Trace("  no device instance\n");
    return;
  }
  m_f00c2 = m_targetDevice->feature<rodiz::IFeature00c2DFUControl>();
  if (!m_f00c2) {
    Trace("  unable to get feature 0x00c2\n");
    return;
  }
  auto f0003 = m_targetDevice->feature<rodiz::IFeature0003FirmwareInfo>();
  if (!f0003) {
    Trace("  unable to get feature 0x0003\n");
    return;
  }
  Trace("Calling f0003=>GetFwFormattedVersion\n");
  std::string version;
  if (!f0003->GetFwFormattedVersion(&version)) {
    Trace("  GetFwFormattedVersion failed\n");
    return;
  }
  const std::size_t first_dot = version.find('.');
  if (first_dot == std::string::npos) return;
  const std::size_t second_dot = version.find('.', first_dot + 1);
  if (second_dot == std::string::npos) return;
  std::uint16_t type6_build = 0;
  if (!f0003->GetFwInfoByType(6, nullptr, nullptr, &type6_build, nullptr, nullptr)) return;
  m_deviceVersion = version;
  m_view.device_found(m_targetDevice->pid(), version);

  ResetTransfer();

  const auto minor = static_cast<std::uint16_t>(parse_decimal(version, first_dot + 1));
  const std::string build_text = version.substr(second_dot + 1);
  // A four-character build beginning "99" is numbered by its last two digits.
  const auto build = static_cast<std::uint16_t>(build_text.size() == 4 && build_text.compare(0, 2, "99") == 0
                                                    ? parse_decimal(build_text, 2)
                                                    : parse_decimal(build_text, 0));

  if (auto profiles = m_targetDevice->feature<rodiz::IFeature8100OnboardProfiles>()) {
    rodiz::IFeature8100OnboardProfiles::Info info;
    if (profiles->GetOnboardProfilesInfo(&info)) {
      m_backup.NoteProfileInfo(info.sectorCount, info.sectorSize);
    } else {
      Trace("  GetOnboardProfilesInfo failed\n");
    }
  } else {
    Trace("  failed to get 0x8100\n");
  }

  Trace("f0003=>GetFwFormattedVersion: minor=%d, build=%d\n", minor, build);
  Trace("  current state is %d\n", m_state);
  // States 3 and 6 to 8 make or restore the copy themselves; a check
  // writes nothing.
  if (!m_options.check_only && m_state != EnteringBootloader && m_state != Restarting &&
      m_state != AwaitingPowerCycle && m_state != RestoringSettings) {
    RestorePendingCopy();
  }
  switch (m_state) {
    case WaitingForDevice: {
      int model = 0;
      if (f0003->GetExtendedModelId(&model, 1)) {
        if (model == 0) m_view.set_product_picture(IDI_PRODUCT);
        if (model == 1) m_view.set_product_picture(IDI_PRODUCT_MODEL1);
      }
      const std::uint32_t level = static_cast<std::uint32_t>(minor) * 65536u + build;
      const bool needed = level < 0x00020007u || type6_build < 3 || m_options.force;
      if (m_options.check_only) {
        FinishCheck(needed);
        break;
      }
      if (needed && !MayWriteImages()) {
        RefuseTestImages();
        break;
      }
      SwitchToState(needed ? ReadyToStart : UpToDate);
      break;
    }
    case EnteringBootloader:
      // Back in application mode while asked into the bootloader: try again.
      SwitchToState(EnteringBootloader);
      break;
    case Restarting:
    case AwaitingPowerCycle:
      StopTimer(PowerCycleTimer);
      SwitchToState(RestoringSettings);
      break;
    case RestoringSettings:
      SwitchToState(RestoringSettings);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Transfer

void CMirelDFUDlg::EnterBootloader() {
  if (!m_targetDevice || !m_f00c2 || m_images.images.empty() || m_images.totalPackets == 0) return;
  // One-way: the answer is the device's removal and its bootloader's arrival.
  m_f00c2->SetDfuControl(1, 0);
}

void CMirelDFUDlg::StartImage(int key) {
  if (!m_f00d0) {
    if (m_targetDevice) m_f00d0 = m_targetDevice->feature<rodiz::IFeature00d0DFU>();
    if (!m_f00d0) return;
    rodiz::Subscriber<rodiz::IFeature00d0DFU::Report>::subscribe(m_f00d0, rodiz::DeliveryRunLoop, "");
  }
  SetStatusText(IDS_STATUS_UPDATING);
  m_view.show(IDC_PROGRESS, true);
  m_currentImageKey = key;
  auto it = m_images.images.find(key);
  m_currentWriter = it == m_images.images.end() ? nullptr : it->second;
  SendNextPacket(0);
}

bool CMirelDFUDlg::SendNextPacket(std::uint32_t n) {
  Trace("CMirelDFUDlg::SendNextPacket (%d)\n", static_cast<int>(n));
  if (!m_f00d0) {
    Trace("  m_f00d0 is null\n");
    return false;
  }
  std::vector<std::uint8_t> packet;
  const bool available = !m_images.images.empty() && m_images.totalPackets != 0 && m_currentWriter &&
                         n + 1u <= m_images.totalPackets && m_currentWriter->nextPacket(&packet);
  if (!available) {
    Trace("  nextPacket is null\n");
    return false;
  }
  bool sent = false;
  if (m_currentWriter->offset == 0) {
    int status = 0;
    sent = m_f00d0->DFUStart(packet, &status, nullptr);
    if (sent && status > 3) {
      Trace("  IsDfuError returned true\n");
      sent = false;
    }
  } else {
    sent = m_f00d0->DFUSendPacket(n, packet);
  }
  if (!sent) {
    Trace("  DFUSendPacket failed. Retrying after delay\n");
    m_view.set_timer(RetryDelayTimer, kRetryDelayMs);
    return false;
  }
  m_currentWriter->offset += DFUWriter::kPacketSize;
  m_progress += DFUWriter::kPacketSize;
  m_view.set_progress_position(m_progress);
  m_view.set_timer(PacketWatchdogTimer, kPacketWatchdogMs);
  return true;
}

void CMirelDFUDlg::onDfuStatus(std::uint32_t packetNumber, std::vector<rodiz::Byte> data) {
  // The feature only raises events that carry a status byte; anything else
  // is ignored and left to the watchdog.
  if (data.size() < 5) return;
  switch (data[4]) {
    case 1:
      SendNextPacket(packetNumber);
      break;
    case 2:
      StopTimer(PacketWatchdogTimer);
      if (m_currentImageKey == FirmwareImageSet::kSecondImageKey) {
        SwitchToState(Restarting);
        if (m_f00d0) m_f00d0->DFURestart(0);
        m_view.set_timer(PowerCycleTimer, kPowerCycleMs);
      } else {
        SwitchToState(SendingImage2);
      }
      break;
    case 3:
      break;
    default:
      m_view.set_timer(RetryDelayTimer, kRetryDelayMs);
      break;
  }
}

void CMirelDFUDlg::RetryDfu() {
  Trace("CMirelDFUDlg::RetryDfu\n");
  ++retryCount;
  m_currentImageKey = 0;
  m_images.ResetOffsets();
  if (retryCount < 3) {
    m_view.post_message(MSG_SWITCH_STATE, SendingImage1);
  } else {
    ResetTransfer();
    FailurePath();
  }
}

void CMirelDFUDlg::FailurePath() {
  if (g_failure_path_taken.exchange(true)) return;
  if (m_f00d0 && m_f00d0->DFURestart(0)) return;
  SwitchToState(Failed);
  m_view.set_timer(ExitCountdownTimer, kExitCountdownMs);
}

}  // namespace mirel

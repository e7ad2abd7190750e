#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/AnswerWatch.h"
#include "app/FirmwareImageSet.h"
#include "app/HostSoftware.h"
#include "app/IDialogView.h"
#include "app/ProfileBackup.h"
#include "app/UpdateInhibitor.h"
#include "device/IDevice.h"
#include "features/IFeature00c2DFUControl.h"
#include "features/IFeature00d0DFU.h"
#include "runtime/IDeviceManager.h"
#include "runtime/Subscriber.h"

namespace mirel {

// The update controller: the state machine behind the update window. It
// holds the one mouse being updated, streams both images to its bootloader
// and restores its settings afterwards. Everything runs on the controller's
// thread: library events arrive through the run loop (one per
// MSG_RUN_LOOP_EVENT), timers and private messages through the view.
class CMirelDFUDlg : public rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent>,
                     public rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>,
                     public rodiz::Subscriber<rodiz::IDeviceManager::UnreportedError>,
                     public rodiz::Subscriber<rodiz::IFeature00d0DFU::Report> {
 public:
  // Private window messages.
  static constexpr unsigned MSG_RUN_LOOP_EVENT = 0x401;
  static constexpr unsigned MSG_SWITCH_STATE = 0x402;

  // Timer ids and periods.
  static constexpr unsigned DetachWaitTimer = 0xBDBDDBDB;
  static constexpr unsigned ExitCountdownTimer = 0xABADBABE;
  static constexpr unsigned PowerCycleTimer = 0xCDDCDCDC;
  static constexpr unsigned PacketWatchdogTimer = 0xDEADBEEF;
  static constexpr unsigned RetryDelayTimer = 0xABBABABE;
  static constexpr unsigned kDetachWaitMs = 10000;
  static constexpr unsigned kExitCountdownMs = 1000;
  static constexpr unsigned kPowerCycleMs = 5000;
  static constexpr unsigned kPacketWatchdogMs = 15000;
  static constexpr unsigned kRetryDelayMs = 2000;
  // Unattended runs only: restarted at every state change; when it expires
  // while the controller waits for a mouse (states 0, 3 and 7) the run ends.
  static constexpr unsigned UnattendedTimer = 0x7E57A11D;
  // How long the version read of an arriving mouse may go without an answer
  // before the mouse is reported as not answering.
  static constexpr unsigned kAnswerLimitMs = 4000;

  enum State : int {
    WaitingForDevice = 0,
    ReadyToStart = 2,
    EnteringBootloader = 3,
    SendingImage1 = 4,
    SendingImage2 = 5,
    Restarting = 6,
    AwaitingPowerCycle = 7,
    RestoringSettings = 8,
    Succeeded = 9,
    UpToDate = 10,
    Failed = 11,
  };

  static constexpr int kApplicationPid = 0xC087;
  static constexpr int kBootloaderPid = 0xAADB;

  struct Options {
    bool force = false;        // offer the update whatever the version
    bool log_enabled = false;  // write the application log file
    // False when the images are the project's test images and the mouse may
    // be a real one: a mouse that needs the update is told so and nothing is
    // written to it.
    bool may_flash = true;
    // Unattended runs: how long the controller may wait for a usable mouse
    // (none there, not back after a restart, not answering) before the run
    // ends with timed_out(); 0 waits as long as the window is open.
    unsigned timeout_ms = 0;
    // Only read the mouse's version and decide whether it needs the update:
    // the window closes then, and nothing is written to the mouse (no
    // bootloader request, no settings write-back); the host software is
    // left alone.
    bool check_only = false;
  };

  // `library` is the facade (or, in tests, any manager); the view, the host
  // software and the inhibitor outlive the controller. The inhibitor is
  // held while states 3 to 8 run (null: nothing keeps the machine awake).
  CMirelDFUDlg(IDialogView& view, std::shared_ptr<rodiz::IDeviceManager> library, HostSoftware& host,
               FirmwareImageSet images, Options options, UpdateInhibitor* inhibitor = nullptr);
  ~CMirelDFUDlg() override;

  // The window exists: the start-up sequence of the update window.
  bool OnInitDialog();
  // A private message (MSG_RUN_LOOP_EVENT or MSG_SWITCH_STATE).
  void OnMessage(unsigned message, std::uintptr_t wparam);
  void OnTimer(unsigned id);
  // The Start button.
  void OnStart();
  // The Close button, the close box, Escape and Enter: ignored while a device
  // is held mid-update.
  void OnClose();
  // The user insisted on stopping (a second stop signal on the console):
  // the window closes whatever the state, after the host software has been
  // started again as a close would; abandoned() is true from then on.
  void Abandon();
  bool abandoned() const { return m_abandoned; }
  // Whether `state` is one in which the mouse is being flashed, from the
  // backup of its settings to their write-back (3 to 8).
  static bool IsFlashing(int state);

  void SwitchToState(int state);
  int state() const { return m_state; }
  int retry_count() const { return retryCount; }
  int exit_countdown() const { return exitCountdown; }
  bool relaunch_host_software() const { return relaunchHostSoftware; }
  const std::shared_ptr<rodiz::IDevice>& target_device() const { return m_targetDevice; }
  const FirmwareImageSet& images() const { return m_images; }
  ProfileBackup& profile_backup() { return m_backup; }
  // Whether a mouse was turned away because the images are test images.
  bool refused_test_images() const { return m_refusedTestImages; }
  // Whether the images inside the program differ from what the build
  // recorded; such a program writes nothing to any mouse.
  bool images_damaged() const { return m_imagesDamaged; }
  // Whether a mouse that needed the update was turned away for that.
  bool refused_damaged_images() const { return m_refusedDamagedImages; }
  // Whether the profile copy could not be stored because another process
  // held the settings store.
  bool settings_store_was_busy() const { return m_storeBusyReported; }
  // Whether the run ended because no usable mouse came within the timeout.
  bool timed_out() const { return m_timedOut; }
  // Why the run did not end well, in the user's language; empty when it did
  // (or when it was only closed).
  const std::string& end_reason() const { return m_endReason; }
  // The firmware version the mouse in application mode reported last
  // ("14.2.6"); empty when none was read.
  const std::string& device_version() const { return m_deviceVersion; }
  // Check runs: whether a mouse was found and judged, and whether it needs
  // the update (a mouse found in its bootloader always does).
  bool check_done() const { return m_checkDone; }
  bool update_needed() const { return m_updateNeeded; }
  // Whether the last mouse that arrived did not answer within kAnswerLimitMs.
  bool not_answering() const { return m_notAnswering; }
  // Whether this process took the failure path (it is never cleared).
  static bool failure_path_taken();
  static void reset_failure_path_for_testing();

  // Library events (run-loop delivery: the controller's thread).
  void onRunLoopEvent() override;
  void onDeviceArrival(std::shared_ptr<rodiz::IDevice> device) override;
  void onDeviceRemoval(std::shared_ptr<rodiz::IDevice> device) override;
  void onDfuStatus(std::uint32_t packetNumber, std::vector<rodiz::Byte> data) override;
  // A failure of the library that had no caller. A device the system lists
  // but this program may not open (CreateFileFailed with a text) is the one
  // the user can mend: while no mouse is held, its text, which says how,
  // becomes the status. Everything else only goes to the trace.
  void onUnreportedError(const char* context, rodiz::ErrorCode code, const char* message,
                         unsigned long system) override;

 private:
  void onDeviceAttached();
  void AttachSteps();
  void TimeOut();
  void FinishCheck(bool needed);
  void ReportNotAnswering();
  void onDeviceDetached();
  void onDeviceBootLoaderAttached();
  void onDeviceBootLoaderDetached();
  void ReleaseDevice();
  void ResetTransfer();
  void EnterBootloader();
  void StartImage(int key);
  bool SendNextPacket(std::uint32_t n);
  void RetryDfu();
  void FailurePath();
  void StopTimer(unsigned id);
  void SetStatusText(unsigned text_id);
  void LoadImages();
  void RelaunchHostSoftware();
  void CountStart();
  void RefuseTestImages();
  // Test images on a mouse that may not have them, or damaged images.
  bool MayWriteImages() const { return m_options.may_flash && !m_imagesDamaged; }
  void SaveProfileCopy();
  // Writes back a complete copy of the settings that an earlier run (or an
  // earlier attempt of this one) saved and never wrote back, whatever the
  // mouse's firmware, and then forgets it.
  void RestorePendingCopy();
  void ProtectFlash();

  IDialogView& m_view;
  std::shared_ptr<rodiz::IDeviceManager> m_library;
  HostSoftware& m_host;
  Options m_options;
  UpdateInhibitor* m_inhibitor;

  std::shared_ptr<rodiz::IDevice> m_targetDevice;
  std::shared_ptr<rodiz::IFeature00c2DFUControl> m_f00c2;
  std::shared_ptr<rodiz::IFeature00d0DFU> m_f00d0;
  FirmwareImageSet m_images;
  int m_currentImageKey = 0;
  std::shared_ptr<DFUWriter> m_currentWriter;
  std::uint32_t m_progress = 0;
  int retryCount = 0;
  int m_state = WaitingForDevice;
  int exitCountdown = 10;
  ProfileBackup m_backup;
  bool relaunchHostSoftware = true;
  std::string m_hostSoftwarePath;
  bool m_refusedTestImages = false;
  bool m_imagesDamaged = false;
  bool m_refusedDamagedImages = false;
  bool m_storeBusyReported = false;
  bool m_abandoned = false;
  bool m_timedOut = false;
  std::string m_endReason;
  std::string m_deviceVersion;
  bool m_checkDone = false;
  bool m_updateNeeded = false;
  bool m_notAnswering = false;
  // Set once the mouse was asked into its bootloader: a later wait for it
  // is a wait for its return.
  bool m_flashBegun = false;
  AnswerWatch m_answerWatch{std::chrono::milliseconds(kAnswerLimitMs)};
};

}  // namespace mirel

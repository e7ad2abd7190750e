#include "app/Simulation.h"

#include <cstdio>
#include <tuple>

#include "app/CommandLine.h"
#include "app/FirmwareResources.h"
#include "sim/SimBus.h"
#include "sim/SimMouse.h"
#include "sim/SimReceiver.h"
#include "transport/HidBusFactory.h"

namespace mirel {

namespace {

bool parse_version(const std::string& text, rodiz::sim::SimVersion* version) {
  int major = 0;
  int minor = 0;
  int build = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d.%d.%d%c", &major, &minor, &build, &tail) != 3) return false;
  if (major < 0 || major > 99 || minor < 0 || minor > 99 || build < 0 || build > 9999) return false;
  *version = {major, minor, build};
  return true;
}

// The image a simulated bootloader expects: the bytes this program carries,
// named by the hardware code of their start record.
bool embedded_image(int resource, rodiz::sim::SimImage* image) {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  if (!LoadFirmwareResource(resource, &data, &size) || size < 16) return false;
  image->hardware_code.assign(reinterpret_cast<const char*>(data) + 2, 8);
  image->bytes.assign(data, data + size);
  return true;
}

}  // namespace

Simulation::~Simulation() {
  rodiz::HidBusFactory::use_bus(nullptr);
  if (m_bus && m_receiver) m_bus->remove_device(m_receiver);
  if (m_bus && m_mouse) m_bus->remove(m_mouse);
  if (m_bus) m_bus->wait_idle();
  m_receiver.reset();
}

bool Simulation::Install(const AppOptions& options, std::string* error) {
  rodiz::sim::SimMouseConfig config;
  if (!options.simVersion.empty() && !parse_version(options.simVersion, &config.version)) {
    *error = "--sim-version wants major.minor.build, for example 14.2.6, not '" + options.simVersion + "'";
    return false;
  }
  // A mouse that already runs the released firmware has its second target
  // updated too, as one that went through this tool would.
  const rodiz::sim::SimVersion& v = config.version;
  const rodiz::sim::SimVersion& released = config.updated_version;
  if (std::tie(v.major, v.minor, v.build) >= std::tie(released.major, released.minor, released.build)) {
    config.type6_build = config.updated_type6_build;
  }
  rodiz::sim::SimFaults faults;
  if (!rodiz::sim::SimFaults::parse(options.simFaults, &faults, error)) return false;
  if (options.simLatencyUs >= 0) config.latency = std::chrono::microseconds(options.simLatencyUs);
  config.frame_interval = std::chrono::microseconds(options.simFrameUs);
  for (int resource : {FirmwareResources::kMainImageId, FirmwareResources::kSecondImageId}) {
    rodiz::sim::SimImage image;
    if (embedded_image(resource, &image)) config.expected_images.push_back(std::move(image));
  }
  config.state_file = options.simState;
  m_mouse = std::make_shared<rodiz::sim::SimMouse>(config);
  if (!options.simState.empty()) {
    // The same mouse as the last run left it; a new file starts from the
    // mouse the other options describe.
    rodiz::sim::SimStateFile::State state;
    std::string problem;
    if (rodiz::sim::SimStateFile::Load(options.simState, &state, &problem)) {
      if (!m_mouse->restore(state, &problem)) {
        *error = "--sim-state: " + options.simState + ": " + problem;
        m_mouse.reset();
        return false;
      }
    } else if (!problem.empty()) {
      *error = "--sim-state: " + problem + " (remove the file to start from a new simulated mouse)";
      m_mouse.reset();
      return false;
    }
  }
  m_mouse->set_faults(faults);
  m_bus = std::make_shared<rodiz::sim::SimBus>();
  if (options.simConnection != "corded") {
    rodiz::sim::SimReceiverFaults receiverFaults;
    if (!rodiz::sim::SimReceiverFaults::parse(options.simReceiverFaults, &receiverFaults, error)) {
      *error = "--sim-receiver-faults: " + *error;
      m_mouse.reset();
      return false;
    }
    // The radio hop answers in the same time as the mouse would on its own,
    // so that --sim-latency-us=0 means no waiting on either link.
    rodiz::sim::SimReceiver::Config receiverConfig;
    if (options.simLatencyUs >= 0) receiverConfig.latency = std::chrono::microseconds(options.simLatencyUs);
    m_receiver = std::make_shared<rodiz::sim::SimReceiver>(receiverConfig);
    m_receiver->set_faults(receiverFaults);
    m_receiver->pair(m_mouse, "Mirel");
    m_bus->add_device(m_receiver);
    m_receiver->plug();
  }
  if (options.simConnection != "receiver") m_bus->add(m_mouse);
  std::shared_ptr<rodiz::sim::SimBus> bus = m_bus;
  rodiz::HidBusFactory::use_bus([bus](std::weak_ptr<rodiz::IDeviceManager>) { return bus; });
  return true;
}

}  // namespace mirel

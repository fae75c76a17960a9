#include "cli/sim_bus.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "settings/config_keys.h"

namespace {

// The exchanges of a download before its erase: the handshake's.
constexpr std::size_t kAnswersBeforeErase = 1;

class SimulatedDevice final : public HidDevice {
  public:
    explicit SimulatedDevice(SimulatedBus::Slot& slot)
        : m_slot(slot), m_generation(slot.module.generation()) {}
    bool GetCaps(HidCaps& caps) override {
        caps = HidCaps{0, 0, 65};
        return true;
    }
    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        const std::lock_guard lock(m_slot.mutex);
        return length >= 1 && report[0] == 0 && m_slot.module.SetReport(report + 1, length - 1);
    }
    bool GetFeature(std::uint8_t* report, std::size_t length) override {
        const std::lock_guard lock(m_slot.mutex);
        return length >= 1 && report[0] == 0 && m_slot.module.GetReport(report + 1, length - 1);
    }
    bool GetSerialNumber(std::u16string& serial) override {
        const std::lock_guard lock(m_slot.mutex);
        serial.assign(m_slot.module.serial().begin(), m_slot.module.serial().end());
        return true;
    }
    // A handle dies with the module's presence, as an unplugged USB device's does.
    bool StillPresent() override {
        const std::lock_guard lock(m_slot.mutex);
        return m_slot.module.present() && m_slot.module.generation() == m_generation;
    }

  private:
    SimulatedBus::Slot& m_slot;
    unsigned m_generation;
};

}  // namespace

SimulatedBus::SimulatedBus(const std::string& serials, unsigned answerMicros,
                           std::string dumpFolder)
    : m_dumpFolder(std::move(dumpFolder)) {
    std::size_t begin = 0;
    while (begin <= serials.size()) {
        std::size_t comma = serials.find(',', begin);
        if (comma == std::string::npos)
            comma = serials.size();
        if (comma > begin) {
            const char mark = serials[begin];
            const std::size_t skip = mark == '!' || mark == '?' || mark == '#' ? 1 : 0;
            m_slots.push_back(
                std::make_unique<Slot>(serials.substr(begin + skip, comma - begin - skip)));
            m_slots.back()->permitted = mark != '!';
            if (mark == '?') {
                m_slots.back()->module.faults.disappearAfter = 10;
                m_slots.back()->module.faults.absentEnumerations = 1 << 30;
            }
            if (mark == '#') {
                // Acknowledges nothing once its erase began (called under the slot's lock).
                VirtualBootloader& module = m_slots.back()->module;
                module.onExchange = [&module](std::size_t count) {
                    if (count == kAnswersBeforeErase)
                        module.faults.nakCommands = 1 << 30;
                };
            }
            m_slots.back()->module.faults.answerMicros = answerMicros;
        }
        begin = comma + 1;
    }
}

SimulatedBus::~SimulatedBus() {
    if (m_dumpFolder.empty())
        return;
    for (const auto& slot : m_slots) {
        std::ofstream out(m_dumpFolder + "/" + slot->module.serial() + ".bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(slot->module.flash().data()),
                  static_cast<std::streamsize>(slot->module.flash().size()));
    }
}

SimulatedBus::Slot* SimulatedBus::Find(const std::string& path) {
    if (path.rfind("sim:", 0) != 0)
        return nullptr;
    const std::size_t index = std::strtoul(path.c_str() + 4, nullptr, 10);
    return index < m_slots.size() ? m_slots[index].get() : nullptr;
}

std::vector<std::string> SimulatedBus::EnumerateInterfaces() {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < m_slots.size(); ++i)
        paths.push_back("sim:" + std::to_string(i));
    return paths;
}

bool SimulatedBus::GetAttributes(const std::string& path, HidAttributes& attributes) {
    if (!Find(path))
        return false;
    attributes = {config_keys::kDefaultVid, config_keys::kDefaultPid};
    return true;
}

std::unique_ptr<HidDevice> SimulatedBus::Open(const std::string& path, HidOpenError& error) {
    Slot* slot = Find(path);
    if (!slot || !slot->permitted) {
        error.error = slot ? EACCES : ENOENT;
        error.text = std::strerror(error.error);
        return nullptr;
    }
    return std::make_unique<SimulatedDevice>(*slot);
}

std::string SimulatedBus::PortPath(const std::string& path) {
    return Find(path) ? "usb-sim-" + path.substr(4) : std::string();
}

std::unique_ptr<SimulatedBus> SimulatedBusFromEnvironment() {
    const char* serials = std::getenv("PRAVUNE_CLI_SIMULATE");
    if (!serials)
        return nullptr;
    const char* answer = std::getenv("PRAVUNE_CLI_SIMULATE_ANSWER_US");
    const char* dump = std::getenv("PRAVUNE_CLI_SIMULATE_DUMP");
    return std::make_unique<SimulatedBus>(
        serials, answer ? static_cast<unsigned>(std::strtoul(answer, nullptr, 10)) : 0,
        dump ? dump : "");
}

#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid_platform.h"
#include "sim/virtual_bootloader.h"

// For the command line's own tests only, and built only into their pravune-cli-sim (never into
// the shipped pravune-cli): a bus of virtual modules that several stations may use from several
// threads at once (each module behind a lock of its own). The tests select it with the
// environment variable PRAVUNE_CLI_SIMULATE (the modules' serial strings, comma-separated;
// a serial that starts with '!' is a module this user may not open, one that starts with '?' a
// module that is pulled out for good after its tenth exchange, one that starts with '#' a module
// that acknowledges nothing from its erase on but stays plugged in);
// PRAVUNE_CLI_SIMULATE_ANSWER_US sets each answer's time, and PRAVUNE_CLI_SIMULATE_DUMP names a
// folder where each module's flash is written as <serial>.bin when the program ends.
class SimulatedBus final : public HidPlatform {
  public:
    SimulatedBus(const std::string& serials, unsigned answerMicros, std::string dumpFolder);
    ~SimulatedBus() override;
    SimulatedBus(const SimulatedBus&) = delete;
    SimulatedBus& operator=(const SimulatedBus&) = delete;

    std::vector<std::string> EnumerateInterfaces() override;
    bool GetAttributes(const std::string& path, HidAttributes& attributes) override;
    std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) override;
    std::string PortPath(const std::string& path) override;

    struct Slot {
        std::mutex mutex;
        VirtualBootloader module;
        bool permitted = true;
        explicit Slot(std::string serial) : module(std::move(serial)) {}
    };

  private:
    Slot* Find(const std::string& path);

    std::vector<std::unique_ptr<Slot>> m_slots;
    std::string m_dumpFolder;
};

// The bus the environment asks for, or null when it asks for none.
std::unique_ptr<SimulatedBus> SimulatedBusFromEnvironment();

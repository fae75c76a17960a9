#pragma once

#include <signal.h>

#include <cstdint>
#include <string>

#include "settings/config_keys.h"
#include "sim/virtual_bootloader.h"

// A virtual module on the real Linux HID core: a uhid device (one 64-byte vendor feature report,
// no report id) whose set and get feature requests the VirtualBootloader answers.
class UhidModule {
  public:
    struct Options {
        std::uint16_t vendor = config_keys::kDefaultVid;
        std::uint16_t product = config_keys::kDefaultPid;
        std::string serial = "PRV001";
        long noAnswerAfter = -1;  // requests answered before the module falls silent (-1: all)
        long vanishAfter = -1;    // exchanges before the device is destroyed (-1: never)
        long absentMs = -1;       // then it is created again this much later (-1: never)
        // Get reports answered well before the answers go wrong (-1: never): too short (the
        // report id alone), or garbled (every payload byte inverted).
        long shortAfter = -1;
        long garbageAfter = -1;
    };

    UhidModule(VirtualBootloader& module, Options options);
    ~UhidModule();
    UhidModule(const UhidModule&) = delete;
    UhidModule& operator=(const UhidModule&) = delete;

    // Opens /dev/uhid and creates the device; false with the reason on failure, and for a missing
    // /dev/uhid or one that may not be opened, what to do about it.
    bool Create(std::string& error);
    // Answers requests until `stop` is set (by a signal); returns 0, or 1 on an error.
    int Run(const volatile sig_atomic_t& stop);

  private:
    bool SendCreate();
    void Destroy();
    void HandleEvent();
    bool Write(const void* event, std::size_t size);

    VirtualBootloader& m_module;
    Options m_options;
    int m_fd = -1;
    bool m_created = false;
    long m_requests = 0;
    long m_exchanges = 0;
    long m_answers = 0;  // get reports answered well
    long long m_recreateAtMs = -1;
};

// The module's report descriptor: vendor page 0xFF00, one 64-byte feature report.
extern const std::uint8_t kModuleReportDescriptor[16];

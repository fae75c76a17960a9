#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "image/serial_number.h"
#include "settings/settings_store.h"
#include "sim/sim_hid_platform.h"
#include "station/programming_station.h"
#include "station/thread_host.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"

// What a front end is told, kept for the test to read.
struct Recorder : StationObserver {
    std::vector<LogEntry> log;
    std::vector<std::string> warnings;
    std::vector<bool> busy;
    std::string status;
    std::uint32_t lastProgress = 0;
    void OnLog(const LogEntry& entry) override { log.push_back(entry); }
    void OnClearLog() override { log.clear(); }
    void OnProgressPos(std::uint32_t position) override { lastProgress = position; }
    void OnStatus(const std::string& text, std::uint32_t, bool, const std::string&) override {
        status = text;
    }
    void OnBusy(bool b) override { busy.push_back(b); }
    void OnWarning(const std::string& text) override { warnings.push_back(text); }

    // The log's lines, each time stamp written as "TS ".
    std::vector<std::string> Lines() const {
        std::string text;
        for (const LogEntry& e : log)
            text += (e.timeStamp ? "TS " : "") + e.text;
        std::vector<std::string> lines;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t eol = text.find('\n', pos);
            std::string line = text.substr(pos, eol == std::string::npos ? eol : eol - pos);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            pos = eol == std::string::npos ? text.size() : eol + 1;
        }
        return lines;
    }
};

// Bytes 0..2, the moved bytes and code from 0x0E00 to 0x2000.
inline std::string ImageText(std::uint8_t seed = 1) {
    return Data(0, {0x02, 0x0E, 0x00}) + "\n" + Data(0x43, {0x12, 0x34, 0x56}) + "\n" +
           FullImageHex(0x0E00, 0x2000, seed);
}

// One station over a bus with a decoy and one module, started as the window starts it, on a
// ThreadHost that ticks every 2 ms.
// `folder` holds config.ini and the records (a fresh temporary folder when empty); the settings
// and the HEX file are written there unless `settings` is null (another rig wrote them).
struct Rig {
    explicit Rig(const char* settings, const std::string& hex = ImageText(),
                 const char* serial = "ABC123", const std::string& folder = {})
        : folderPath(folder.empty() ? dir.path() : folder),
          module(serial),
          host(flags, rec),
          station(platform, folderPath + "/config.ini", rec, host, flags) {
        platform.AddDecoy(0x046D, 0xC31C);
        platform.AddModule(module);
        if (settings) {
            const std::string path = folderPath + "/fw.hex";
            std::ofstream(path, std::ios::binary) << hex;
            std::ofstream(folderPath + "/config.ini", std::ios::binary)
                << "[SETTING]\nm_strPath_flash=" + path + "\n" + settings;
        }
        host.SetTickMs(2);
        {
            const StoredSettings stored = station.ReadSettings();
            station.ApplyBootloaderId(stored.vid, stored.pid);
        }
        station.LoadHexFile(station.Path());
    }
    explicit Rig(const std::string& settings, const std::string& hex = ImageText(),
                 const char* serial = "ABC123")
        : Rig(settings.c_str(), hex, serial) {}
    std::string Config() const { return ReadBytes(folderPath + "/config.ini"); }

    TempDir dir;
    std::string folderPath;
    VirtualBootloader module;
    SimHidPlatform platform;
    Recorder rec;
    StationFlags flags;
    ThreadHost host;
    ProgrammingStation station;
};

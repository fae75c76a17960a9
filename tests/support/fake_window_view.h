#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/sim_hid_platform.h"
#include "station/window_controller.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"

// A window without a toolkit: its controls are a WindowFields, what it is told is kept, and
// the controller's wake-up waits until the test takes what was posted on the window's thread.
class FakeView final : public WindowView {
  public:
    WindowFields ReadFields() const override { return controls; }
    void ShowFields(const WindowFields& f) override {
        controls = f;
        // An edit takes no more than its limit, as a typed text stops there.
        controls.snAddr.resize(std::min<std::size_t>(f.snAddr.size(), WindowFieldLimits::kSnAddr));
        controls.snValue.resize(
            std::min<std::size_t>(f.snValue.size(), WindowFieldLimits::kSnValue));
    }
    void ShowEnables(const WindowEnables& e) override { enables = e; }
    void SelectStep() override { stepSelected = true; }
    void AppendLog(const LogEntry& entry) override { log += entry.text; }
    void ClearLog() override { log.clear(); }
    void ShowProgress(int maximum, int value) override { bar = {maximum, value}; }
    void ShowProgressBar(bool shown) override { barShown = shown; }
    void ShowStatus(const std::string& text, std::uint32_t, int) override { status = text; }
    void ShowImageLabels(const std::string&, const std::string&) override {}
    void Warn(const std::string& text) override { warnings.push_back(text); }
    std::optional<std::string> AskHexFile(const std::string&) override { return std::nullopt; }
    void ShowAbout() override {}
    void StartTimer(WindowTimer id, int) override { timers.insert(id); }
    void StopTimer(WindowTimer id) override { timers.erase(id); }
    void Wake() override { woken = true; }
    void CloseWindow() override { closed = true; }
    void DownloadEnded(bool ok) override { ended = ok; }
    void ShowProduction(const ProductionDisplay& d) override { production = d; }
    bool Confirm(const std::string&, const std::string& text) override {
        questions.push_back(text);
        const bool yes = !confirms.empty() && confirms.front();
        if (!confirms.empty())
            confirms.erase(confirms.begin());
        return yes;
    }
    std::optional<std::string> AskText(const std::string&, const std::string& prompt,
                                       bool secret) override {
        prompts.push_back(prompt + (secret ? " (secret)" : ""));
        // What the window's own events do while the box is open.
        if (whileAsking)
            std::exchange(whileAsking, nullptr)();
        if (answers.empty())
            return std::nullopt;
        std::optional<std::string> answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }

    // Takes what was posted until the download has ended (at most 20 s).
    void RunUntilEnded(WindowController& controller) {
        RunUntil(controller, [this] { return ended.has_value(); });
    }
    // Takes what was posted until `done` holds (at most 20 s).
    template <class Done>
    void RunUntil(WindowController& controller, Done done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < until) {
            if (woken.exchange(false))
                controller.RunPosted();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    WindowFields controls;
    WindowEnables enables;
    bool stepSelected = false;
    std::string log;
    BarPosition bar{-1, -1};
    bool barShown = false;
    std::string status;
    std::vector<std::string> warnings;
    bool closed = false;
    std::optional<bool> ended;
    std::set<WindowTimer> timers;  // running
    std::atomic<bool> woken{false};
    // Production mode: what was shown, asked and answered (Confirm says No, AskText cancels,
    // once the scripted answers are spent).
    ProductionDisplay production;
    std::vector<std::string> questions, prompts;
    std::vector<bool> confirms;
    std::vector<std::optional<std::string>> answers;
    std::function<void()> whileAsking;  // once, inside the next AskText
};

struct ControllerRig {
    explicit ControllerRig(const std::string& settings = "") {
        path = dir.Write("fw.hex", FullImageHex(0x0E00, 0x1000));
        dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path + "\n" + settings);
        platform.AddModule(module);
        controller.SetHandshakeTickMs(2);
        controller.Start();
    }
    std::string Config() const { return ReadBytes(dir.File("config.ini")); }

    TempDir dir;
    std::string path;
    VirtualBootloader module{"ABC123"};
    SimHidPlatform platform;
    FakeView view;
    WindowController controller{platform, dir.File("config.ini"), view};
};

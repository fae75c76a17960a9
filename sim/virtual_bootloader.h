#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The module's side of the bootloader protocol, for tests, the demo and the kernel test: a
// flash of 0x4000 bytes (erase sets bytes to 0xFF, programming can only clear bits), the run flag,
// the last handshake's format flag and a serial-number string, with faults that can be scripted.
class VirtualBootloader {
  public:
    static constexpr std::size_t kFlashSize = 0x4000;
    static constexpr std::uint8_t kAck = 0xE0;

    // Scripted faults; each count is used up as it fires.
    struct Faults {
        int nakCommands = 0;         // answer this many commands without ACK
        int failSetReports = 0;      // refuse this many set reports
        int failGetReports = 0;      // refuse this many get reports
        int disappearAfter = -1;     // vanish after this many more exchanges (-1: never)
        int absentEnumerations = 0;  // then stay away for this many enumerations
        unsigned answerMicros = 0;   // time taken by each answer
        unsigned refusalMicros = 0;  // time taken by each refused report (a silent module)
    };

    explicit VirtualBootloader(std::string serial = "PRV001", std::uint8_t oldContents = 0x00);

    // One set report's payload (the command packet) and one get report's payload (the answer).
    bool SetReport(const std::uint8_t* payload, std::size_t length);
    bool GetReport(std::uint8_t* payload, std::size_t length);

    // Presence on the bus; a disappearance invalidates every handle opened before it.
    bool present() const { return m_present; }
    unsigned generation() const { return m_generation; }
    void Unplug();
    void Plug();
    // Called once per enumeration of the bus: brings a vanished module back when its time is up.
    void OnEnumerate();
    // Another module takes this one's place on the bus: fresh flash (old contents), state,
    // faults and records; handles to the previous module die.
    void Replace(std::string serial, std::uint8_t oldContents = 0x00);

    // Called after every answered exchange with the count so far (tests script events by it).
    std::function<void(std::size_t)> onExchange;

    Faults faults;
    std::uint16_t featureReportLength = 65;  // what the module's descriptor declares

    const std::array<std::uint8_t, kFlashSize>& flash() const { return m_flash; }
    const std::string& serial() const { return m_serial; }
    bool running() const { return m_running; }
    int lastFormatFlag() const { return m_formatFlag; }
    std::size_t exchanges() const { return m_exchanges; }
    // The time spent answering (the answerMicros pauses as the clock saw them, oversleeping
    // included), so a bench can set a download against what the module itself took.
    std::chrono::nanoseconds answerTime() const { return m_answerTime; }
    // Writes that found a byte not erased, and commands with a wrong checksum or bad fields.
    const std::vector<std::string>& problems() const { return m_problems; }
    // Every command packet received, in order.
    const std::vector<std::array<std::uint8_t, 64>>& commands() const { return m_commands; }

  private:
    std::array<std::uint8_t, 64> Execute(const std::array<std::uint8_t, 64>& packet);
    void Pause();

    std::array<std::uint8_t, kFlashSize> m_flash;
    std::string m_serial;
    bool m_running = false;
    int m_formatFlag = -1;
    bool m_present = true;
    unsigned m_generation = 0;
    std::size_t m_exchanges = 0;
    std::chrono::nanoseconds m_answerTime{0};
    bool m_answerPending = false;
    std::array<std::uint8_t, 64> m_answer{};
    std::vector<std::string> m_problems;
    std::vector<std::array<std::uint8_t, 64>> m_commands;
};

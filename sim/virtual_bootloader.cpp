#include "sim/virtual_bootloader.h"

#include <time.h>
#include <chrono>
#include <thread>

#include <algorithm>
#include <cstdio>

namespace {

std::string HexText(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

}  // namespace

VirtualBootloader::VirtualBootloader(std::string serial, std::uint8_t oldContents)
    : m_serial(std::move(serial)) {
    m_flash.fill(oldContents);
}

void VirtualBootloader::Pause() {
    if (faults.answerMicros == 0)
        return;
    const auto start = std::chrono::steady_clock::now();
    timespec t{static_cast<time_t>(faults.answerMicros / 1000000),
               static_cast<long>(faults.answerMicros % 1000000) * 1000};
    while (::nanosleep(&t, &t) != 0) {
    }
    m_answerTime += std::chrono::steady_clock::now() - start;
}

void VirtualBootloader::Unplug() {
    if (m_present)
        ++m_generation;
    m_present = false;
    m_answerPending = false;
}

void VirtualBootloader::Plug() {
    m_present = true;
}

void VirtualBootloader::Replace(std::string serial, std::uint8_t oldContents) {
    Unplug();
    m_flash.fill(oldContents);
    m_serial = std::move(serial);
    m_running = false;
    m_formatFlag = -1;
    m_exchanges = 0;
    m_problems.clear();
    m_commands.clear();
    faults = Faults{};
    Plug();
}

void VirtualBootloader::OnEnumerate() {
    if (!m_present && faults.absentEnumerations > 0 && --faults.absentEnumerations == 0)
        Plug();
}

bool VirtualBootloader::SetReport(const std::uint8_t* payload, std::size_t length) {
    if (!m_present)
        return false;
    if (faults.failSetReports > 0) {
        --faults.failSetReports;
        if (faults.refusalMicros)
            std::this_thread::sleep_for(std::chrono::microseconds(faults.refusalMicros));
        return false;
    }
    std::array<std::uint8_t, 64> packet{};
    std::copy_n(payload, std::min<std::size_t>(length, packet.size()), packet.begin());
    m_commands.push_back(packet);
    m_answer = Execute(packet);
    m_answerPending = true;
    return true;
}

bool VirtualBootloader::GetReport(std::uint8_t* payload, std::size_t length) {
    if (!m_present)
        return false;
    Pause();
    if (faults.failGetReports > 0) {
        --faults.failGetReports;
        return false;
    }
    std::array<std::uint8_t, 64> answer{};
    if (m_answerPending)
        answer = m_answer;
    m_answerPending = false;
    std::fill_n(payload, length, std::uint8_t{0});
    std::copy_n(answer.begin(), std::min<std::size_t>(length, answer.size()), payload);
    ++m_exchanges;
    if (faults.disappearAfter > 0 && --faults.disappearAfter == 0) {
        faults.disappearAfter = -1;
        Unplug();
    }
    if (onExchange)
        onExchange(m_exchanges);
    return true;
}

std::array<std::uint8_t, 64> VirtualBootloader::Execute(const std::array<std::uint8_t, 64>& p) {
    std::array<std::uint8_t, 64> answer{};
    unsigned sum = 0;
    for (std::size_t i = 0; i < 63; ++i)
        sum += p[i];
    if ((sum & 0xFF) != p[63]) {
        m_problems.push_back("command with a wrong checksum");
        return answer;
    }
    if (faults.nakCommands > 0) {
        --faults.nakCommands;
        return answer;
    }
    const unsigned address = p[1] | (p[2] << 8);
    const unsigned length = p[3];
    switch (p[0]) {
        case 0xFA:  // handshake
            m_formatFlag = p[4];
            m_running = false;
            break;
        case 0xFE:  // erase
            m_flash.fill(0xFF);
            break;
        case 0xFC:  // run
            m_running = true;
            break;
        case 0xFD:  // write
            if (length == 0 || length > 56 || address + length > kFlashSize) {
                m_problems.push_back("write of " + std::to_string(length) + " bytes at " +
                                     HexText(address) + " refused");
                return answer;
            }
            for (unsigned i = 0; i < length; ++i) {
                // Programming only clears bits: a bit that must become 1 needs an erase first.
                // (Programming the same value again, as a retried block does, is harmless.)
                const std::uint8_t value = p[4 + i];
                if ((m_flash[address + i] & value) != value) {
                    m_problems.push_back("write to " + HexText(address + i) + " not erased");
                }
                m_flash[address + i] &= value;
            }
            break;
        default:
            m_problems.push_back("unknown command " + HexText(p[0]));
            return answer;
    }
    answer[0] = kAck;
    return answer;
}

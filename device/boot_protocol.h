#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "device/hid_port.h"
#include "image/hex_image.h"

// Command codes and the acknowledgement of the module's bootloader.
inline constexpr std::uint8_t CMD_HANDSHAKE = 0xFA;
inline constexpr std::uint8_t CMD_RUN = 0xFC;
inline constexpr std::uint8_t CMD_WRITE = 0xFD;
inline constexpr std::uint8_t CMD_ERASE = 0xFE;
inline constexpr std::uint8_t ACK = 0xE0;

inline constexpr std::size_t kPacketSize = 64;
inline constexpr std::uint32_t kBlockSize = 56;
inline constexpr int kBlockAttempts = 100;
inline constexpr int kHandshakeTimer = 1;
inline constexpr unsigned kHandshakePeriodMs = 1000;

// The bootloader's 64-byte command and answer packet: command, address low and high, length,
// up to 56 data bytes from byte 4, and in byte 63 the 8-bit sum of bytes 0 to 62.
using BootPacket = std::array<std::uint8_t, kPacketSize>;

// The 8-bit sum of bytes[first] to bytes[last], both included.
std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t first, std::size_t last);

// A packet built the one way every packet is: zeros, the fields, then the checksum.
BootPacket MakePacket(std::uint8_t command, std::uint32_t address = 0,
                      const std::uint8_t* data = nullptr, std::uint8_t length = 0);

// True as soon as a byte differs from 0xFF; false for length 0.
bool IsBlockUsed(const std::uint8_t* bytes, std::size_t length);

// What the protocol needs of the window that runs it.
class BootHost {
  public:
    virtual ~BootHost() = default;
    // Dispatches at most one pending message and returns at once; never waits.
    virtual void PumpOneMessage() = 0;
    // The handshake's wait between attempts: blocks until the next event (a timer tick, a click)
    // has arrived and been dispatched, so no core spins while the operator swaps modules.
    virtual void WaitForEvent() = 0;
    virtual void StartTimer(int id, unsigned periodMs) = 0;
    virtual void StopTimer(int id) = 0;
    // The logical progress: range 0..count, positions up to one past the range.
    virtual void SetProgressRange(std::uint32_t low, std::uint32_t high) = 0;
    virtual void SetProgressStep(std::uint32_t step) = 0;
    virtual void SetProgressPos(std::uint32_t position) = 0;
};

// The bootloader's commands over the port. The window owns it and keeps the flags and the
// status text; the protocol reaches them by reference.
class CBootProtocol {
  public:
    // `cancel` may be set from another thread (a station on a worker); `tick` by the host.
    CBootProtocol(CHidPort& port, BootHost& host, std::string& status,
                  const std::atomic<bool>& cancel, std::atomic<bool>& tick);

    bool Exchange(CHidPort& port, const std::uint8_t* request, std::size_t requestLength,
                  std::uint8_t* answer, std::size_t answerLength);
    bool Handshake(int formatFlag);
    bool EraseDevice();
    bool RunDevice();
    bool WriteBlocks(std::uint8_t command, const std::uint8_t* source, std::uint32_t start,
                     std::uint32_t end);
    bool WriteFlash(const HexImage& image);

    const BootPacket& TxPacket() const { return m_txPacket; }
    const BootPacket& RxPacket() const { return m_rxPacket; }
    // One past the last byte of the latest WriteBlocks that the module holds as sent: its blocks
    // acknowledged, or skipped because they leave the erased flash as it is. A Stop honoured
    // after the last block still leaves every byte written.
    std::uint32_t HeldEnd() const { return m_heldEnd; }

  private:
    bool SimpleCommand(std::uint8_t command, const char* okText);
    // The status when no module could be opened: another module in the held one's place, the
    // held one gone, or none at all. False.
    bool NoModule(CHidPort& port);
    // A feature report that failed: `text`, or what stands in a vanished module's place. False.
    bool TransferFailed(CHidPort& port, const char* text);

    CHidPort& m_port;
    BootHost& m_host;
    std::string& m_strStatus;
    const std::atomic<bool>& m_bCancel;
    std::atomic<bool>& m_bTick;
    BootPacket m_txPacket{};
    BootPacket m_rxPacket{};
    std::uint32_t m_heldEnd = 0;
};

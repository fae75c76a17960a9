#include "device/boot_protocol.h"

#include <algorithm>

#include "image/image_check.h"

std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t first, std::size_t last) {
    unsigned sum = 0;
    for (std::size_t i = first; i <= last; ++i)
        sum += bytes[i];
    return static_cast<std::uint8_t>(sum);
}

BootPacket MakePacket(std::uint8_t command, std::uint32_t address, const std::uint8_t* data,
                      std::uint8_t length) {
    BootPacket p{};
    p[0] = command;
    p[1] = static_cast<std::uint8_t>(address & 0xFF);
    p[2] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
    p[3] = length;
    if (data)
        std::copy_n(data, std::min<std::size_t>(length, kBlockSize), p.begin() + 4);
    p[63] = Checksum(p.data(), 0, 62);
    return p;
}

bool IsBlockUsed(const std::uint8_t* bytes, std::size_t length) {
    return std::any_of(bytes, bytes + length, [](std::uint8_t b) { return b != 0xFF; });
}

CBootProtocol::CBootProtocol(CHidPort& port, BootHost& host, std::string& status,
                             const std::atomic<bool>& cancel, std::atomic<bool>& tick)
    : m_port(port), m_host(host), m_strStatus(status), m_bCancel(cancel), m_bTick(tick) {}

bool CBootProtocol::NoModule(CHidPort& port) {
    if (const std::optional<ModuleIdentity>& other = port.Replacement()) {
        m_strStatus = "Find device -- another module (" + ModuleIdentityText(*other) + ")";
    } else if (port.HeldModuleLeft()) {
        m_strStatus = "Find device -- the module left the bus";
    } else {
        m_strStatus = "Find device -- None";
    }
    return false;
}

bool CBootProtocol::TransferFailed(CHidPort& port, const char* text) {
    m_strStatus = text;
    // The held module's node went away: tell what stands in its place now (nothing is opened).
    if (port.HeldModuleLeft()) {
        port.Open();
        NoModule(port);
    }
    return false;
}

bool CBootProtocol::Exchange(CHidPort& port, const std::uint8_t* request, std::size_t requestLength,
                             std::uint8_t* answer, std::size_t answerLength) {
    if (!port.IsOpen())
        port.Open();
    if (!port.IsOpen())
        return NoModule(port);
    if (!port.WriteFeature(request, requestLength))
        return TransferFailed(port, "Write from device -- fail!");
    if (!port.ReadFeature(answer, answerLength))
        return TransferFailed(port, "Read from device -- fail!");
    return true;
}

bool CBootProtocol::Handshake(int formatFlag) {
    m_host.StartTimer(kHandshakeTimer, kHandshakePeriodMs);
    const std::uint8_t flag = formatFlag ? 1 : 0;
    m_txPacket = MakePacket(CMD_HANDSHAKE, 0, &flag, 1);
    while (!m_bCancel) {
        if (m_bTick) {
            m_bTick = false;
            if (!m_port.IsOpen())
                m_port.Open();
            if (!m_port.IsOpen())
                continue;
            if (Exchange(m_port, m_txPacket.data(), kPacketSize, m_rxPacket.data(), kPacketSize) &&
                m_rxPacket[0] == ACK) {
                m_strStatus = "Handshake -- OK";
                m_host.StopTimer(kHandshakeTimer);
                return true;
            }
            m_strStatus = "Handshake -- FAIL";
        }
        m_host.WaitForEvent();
    }
    m_host.StopTimer(kHandshakeTimer);
    return false;
}

bool CBootProtocol::SimpleCommand(std::uint8_t command, const char* okText) {
    m_txPacket = MakePacket(command);
    if (Exchange(m_port, m_txPacket.data(), kPacketSize, m_rxPacket.data(), kPacketSize)) {
        m_strStatus = okText;
        return true;
    }
    m_strStatus = "BT: " + m_strStatus;
    return false;
}

bool CBootProtocol::EraseDevice() {
    return SimpleCommand(CMD_ERASE, "BT: Erase -- OK");
}

bool CBootProtocol::RunDevice() {
    return SimpleCommand(CMD_RUN, "BT: Run device -- OK");
}

bool CBootProtocol::WriteBlocks(std::uint8_t command, const std::uint8_t* source,
                                std::uint32_t start, std::uint32_t end) {
    if (end < start)
        return false;  // nothing sensible to write; never wrap the count
    const std::uint32_t count = (end - start + kBlockSize - 1) / kBlockSize;
    m_host.SetProgressRange(0, count);
    m_host.SetProgressStep(1);
    std::uint32_t address = start;
    std::size_t offset = 0;
    m_heldEnd = start;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t length = i + 1 < count ? kBlockSize : end - address;
        if (IsBlockUsed(source + offset, length)) {
            m_txPacket =
                MakePacket(command, address, source + offset, static_cast<std::uint8_t>(length));
            bool done = false;
            for (int attempt = 0; attempt < kBlockAttempts && !done; ++attempt) {
                if (attempt > 0) {
                    // A module that does not answer takes seconds per attempt: the window
                    // stays alive between attempts, and Stop ends the block at once.
                    m_host.PumpOneMessage();
                    if (m_bCancel) {
                        m_strStatus = "Write to device -- User cancel";
                        return false;
                    }
                }
                m_rxPacket.fill(0);
                if (Exchange(m_port, m_txPacket.data(), kPacketSize, m_rxPacket.data(),
                             kPacketSize)) {
                    done = m_rxPacket[0] == ACK;
                    if (!done)
                        m_strStatus = "Write to device -- FAIL";
                } else if (m_port.Replacement() || m_port.HeldModuleLeft()) {
                    return false;  // not the module that answered the handshake: write no more
                }
            }
            if (!done)
                return false;
        }
        address += length;
        offset += length;
        m_heldEnd = address;
        m_host.SetProgressPos(i + 2);
        m_host.PumpOneMessage();
        if (m_bCancel) {
            m_strStatus = "Write to device -- User cancel";
            return false;
        }
    }
    return true;
}

bool CBootProtocol::WriteFlash(const HexImage& image) {
    // Never read past the image, whatever its fields say.
    if (!image.valid || image.end > image.Usable() || image.Usable() < 3)
        return false;
    if (!WriteBlocks(CMD_WRITE, &image.data[0], 0, 3))
        return false;
    if (image.bytesMoved && !WriteBlocks(CMD_WRITE, image.movedBytes.data(), kMovedBytesAddress,
                                         kMovedBytesAddress + 3)) {
        return false;
    }
    const std::uint32_t a = std::max(image.start, kCodeStart);
    const std::uint8_t* code = image.data.data() + std::min(a, image.Usable());
    if (!WriteBlocks(CMD_WRITE, code, a, std::max(a, image.end))) {
        m_strStatus = "BT: " + m_strStatus;
        return false;
    }
    return true;
}

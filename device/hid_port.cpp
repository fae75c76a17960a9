#include "device/hid_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "text/escape_controls.h"

std::string Latin1ToUtf8(const std::string& narrowed) {
    std::string text;
    for (char c : narrowed) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    // A module's string is shown, logged and recorded: none of its control characters may act
    // on the operator's terminal.
    return EscapeControls(text);
}

std::unique_ptr<std::uint8_t[]> CHidPort::AllocateReport(std::size_t length) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow)
                                               std::uint8_t[length == 0 ? 1 : length]());
}

CHidPort::CHidPort(HidPlatform& platform, ReportAllocator allocate)
    : m_platform(platform), m_allocate(allocate) {}

CHidPort::~CHidPort() = default;

void CHidPort::Close() {
    m_hDevice.reset();
}

void CHidPort::NoteHeldModuleLeft() {
    // A transfer failed or the port looks again: a node that is gone (or a platform that cannot
    // tell) means the module left, rather than a lost answer of a module still there.
    if (m_held && m_hDevice && !m_hDevice->StillPresent())
        m_heldLeft = true;
}

void CHidPort::Fail() {
    NoteHeldModuleLeft();
    Close();
    m_bOpen = false;
}

bool CHidPort::SizeBuffer(std::unique_ptr<std::uint8_t[]>& buffer, std::uint32_t& recorded,
                          std::uint32_t length) const {
    if (buffer && recorded == length) {
        return true;
    }
    buffer = m_allocate(length);
    recorded = buffer ? length : 0;
    return buffer != nullptr;
}

bool CHidPort::Open() {
    NoteHeldModuleLeft();
    Close();
    m_bOpen = false;
    m_accessProblem.reset();
    m_replacement.reset();
    for (const std::string& path : m_platform.EnumerateInterfaces()) {
        HidAttributes attributes;
        if (!m_platform.GetAttributes(path, attributes) || attributes.vendorId != m_nVendorId ||
            attributes.productId != m_nProductId) {
            continue;
        }
        // A port filter is decided without opening the device: no other module is opened or
        // asked for its serial (another station may be in the middle of an exchange with it).
        if (!m_filterPort.empty() && m_platform.PortPath(path) != m_filterPort)
            continue;
        HidOpenError error;
        m_hDevice = m_platform.Open(path, error);
        if (!m_hDevice) {
            if (error.error == EACCES || error.error == EPERM) {
                if (!m_accessProblem)
                    m_accessProblem = HidAccessProblem{path, error.text};
            }
            continue;
        }
        m_caps = HidCaps{};
        m_hDevice->GetCaps(m_caps);
        if (SizeBuffer(m_pInputReport, m_nInputLength, m_caps.inputReportLength) &&
            SizeBuffer(m_pOutputReport, m_nOutputLength, m_caps.outputReportLength) &&
            SizeBuffer(m_pFeatureReport, m_nFeatureLength, m_caps.featureReportLength)) {
            // Held to one module, or limited to one: its identity decides, read once.
            if (m_held || !m_filterUid.empty() || !m_filterPort.empty()) {
                ModuleIdentity found = IdentityOf(*m_hDevice, path);
                const bool filtered = (!m_filterUid.empty() && found.uid != m_filterUid) ||
                                      (!m_filterPort.empty() && found.port != m_filterPort);
                // A held module on a node of its own is back after it left: it is not opened
                // again, nor after any sign that it left.
                if (m_held && found == *m_held && path != m_heldPath)
                    m_heldLeft = true;
                if (filtered || (m_held && (m_heldLeft || found != *m_held))) {
                    if (!filtered && found != *m_held && !m_replacement)
                        m_replacement = std::move(found);
                    Close();
                    continue;
                }
            }
            m_bOpen = true;
            m_openPath = path;
            m_replacement.reset();
            break;
        }
        Close();
    }
    if (m_bOpen)
        m_accessProblem.reset();
    return m_bOpen;
}

bool CHidPort::Refresh() {
    if (m_bOpen && m_hDevice && m_hDevice->StillPresent())
        return true;
    return Open();
}

bool CHidPort::SetTarget(std::uint32_t productId, std::uint32_t vendorId) {
    m_nVendorId = vendorId;
    m_nProductId = productId;
    return Open();
}

bool CHidPort::IsTarget(std::uint32_t productId, std::uint32_t vendorId) const {
    return vendorId == m_nVendorId && productId == m_nProductId;
}

bool CHidPort::WriteFeature(const std::uint8_t* source, std::size_t length) {
    // A device without a feature report (length below 2) has no room for any payload.
    if (!m_hDevice || !m_pFeatureReport || m_nFeatureLength < 2) {
        Fail();
        return false;
    }
    std::memset(m_pFeatureReport.get(), 0, m_nFeatureLength);
    std::memcpy(m_pFeatureReport.get() + 1, source,
                std::min<std::size_t>(length, m_nFeatureLength - 1));
    if (!m_hDevice->SetFeature(m_pFeatureReport.get(), m_nFeatureLength)) {
        Fail();
        return false;
    }
    return true;
}

bool CHidPort::ReadFeature(std::uint8_t* destination, std::size_t length) {
    if (!m_hDevice || !m_pFeatureReport || m_nFeatureLength < 2) {
        Fail();
        return false;
    }
    // Zeroed first: a device that answers fewer bytes leaves zeros behind its answer, never the
    // last packet sent (Windows' HidD_GetFeature tells no length). An answer under another report
    // id is not the one asked for.
    std::memset(m_pFeatureReport.get(), 0, m_nFeatureLength);
    if (!m_hDevice->GetFeature(m_pFeatureReport.get(), m_nFeatureLength) ||
        m_pFeatureReport[0] != 0) {
        Fail();
        return false;
    }
    std::memset(destination, 0, length);
    std::memcpy(destination, m_pFeatureReport.get() + 1,
                std::min<std::size_t>(length, m_nFeatureLength - 1));
    return true;
}

bool CHidPort::HoldToOpenModule() {
    if (!m_bOpen || !m_hDevice)
        return false;
    m_held = IdentityOf(*m_hDevice, m_openPath);
    m_heldPath = m_openPath;
    m_heldLeft = false;
    return true;
}

std::optional<ModuleIdentity> CHidPort::OpenModule() const {
    if (!m_bOpen || !m_hDevice)
        return std::nullopt;
    return IdentityOf(*m_hDevice, m_openPath);
}

void CHidPort::Release() {
    m_held.reset();
    m_heldLeft = false;
    m_replacement.reset();
}

std::string SerialIdentifierText(const std::u16string& serial) {
    std::string text;
    // Each unit narrows to its low byte; the text ends where a narrowed unit is 0, as a
    // zero-terminated 8-bit string does.
    for (char16_t unit : serial) {
        const char narrowed = static_cast<char>(unit & 0xFF);
        if (narrowed == 0 || text.size() == 6)
            break;
        text.push_back(narrowed);
    }
    return text;
}

std::string ModuleIdentityText(const ModuleIdentity& module) {
    std::string text = module.uid.empty() ? "UID unreadable" : Latin1ToUtf8(module.uid);
    if (!module.port.empty())
        text += " at " + module.port;
    return text;
}

std::string CHidPort::GetSerialText() {
    std::u16string serial;
    if (!m_hDevice || !m_hDevice->GetSerialNumber(serial))
        return {};
    return SerialIdentifierText(serial);
}

ModuleIdentity CHidPort::IdentityOf(HidDevice& device, const std::string& path) const {
    ModuleIdentity identity;
    if (device.GetSerialNumber(identity.serial))
        identity.uid = SerialIdentifierText(identity.serial);
    else
        identity.serial.clear();
    identity.port = m_platform.PortPath(path);
    return identity;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/hid_platform.h"

// A matching device that is present but whose node may not be opened (EACCES, EPERM).
struct HidAccessProblem {
    std::string path;
    std::string reason;
    bool operator==(const HidAccessProblem&) const = default;
};

// Which module a device is: its identifier text (GetSerialText) and the port it is plugged into.
struct ModuleIdentity {
    std::string uid;  // the six-character identifier the operator sees
    std::string port;
    std::u16string serial;  // the whole serial-number string, so that longer ones differ too
    bool operator==(const ModuleIdentity&) const = default;
};

// The device identifier formed from a serial-number string: its first six units, each narrowed
// to its low byte, ending where a narrowed unit is 0.
std::string SerialIdentifierText(const std::u16string& serial);

// A module as a line names it: "ABC123 at usb-1.2", without the port where the platform tells
// none (Windows), and "UID unreadable" for a module whose serial string could not be read.
std::string ModuleIdentityText(const ModuleIdentity& module);

// The device identifier as UTF-8 text: each narrowed byte stands for the character of that code
// (Latin-1), so the status and the log show the same characters; control characters escaped
// (EscapeControls), as a module may send any.
std::string Latin1ToUtf8(const std::string& narrowed);

// The connection to the bootloader: opens the first present HID device with the configured
// identifiers, moves feature reports (report id 0 in byte 0, the payload after it), and forms
// the six-character device identifier from its serial-number string. Every open enumerates
// afresh; a refresh keeps the device open while it is present.
class CHidPort {
  public:
    // Allocates a zeroed report buffer of the given length, or yields null when it cannot.
    using ReportAllocator = std::unique_ptr<std::uint8_t[]> (*)(std::size_t length);
    static std::unique_ptr<std::uint8_t[]> AllocateReport(std::size_t length);

    explicit CHidPort(HidPlatform& platform, ReportAllocator allocate = &AllocateReport);
    virtual ~CHidPort();
    CHidPort(const CHidPort&) = delete;
    CHidPort& operator=(const CHidPort&) = delete;

    bool Open();
    // The status refresh's open: keeps the device open when it is still present (one query of
    // the handle), and otherwise searches afresh as Open does.
    bool Refresh();
    void Close();
    bool SetTarget(std::uint32_t productId, std::uint32_t vendorId);
    bool IsTarget(std::uint32_t productId, std::uint32_t vendorId) const;
    bool IsOpen() const { return m_bOpen; }
    bool WriteFeature(const std::uint8_t* source, std::size_t length);
    bool ReadFeature(std::uint8_t* destination, std::size_t length);
    std::string GetSerialText();

    // Set by the latest Open when a matching device was present but could not be opened for
    // lack of permission; empty otherwise.
    const std::optional<HidAccessProblem>& AccessProblem() const { return m_accessProblem; }

    // Holds the port to the module now open, for the rest of a download: every later Open
    // opens that module again (same identifier and port) or none; it never takes another
    // matching device in its place. False when no module is open.
    bool HoldToOpenModule();
    // Lets any matching device be opened again.
    void Release();
    // Opens only a device with this identifier text and/or port path (empty: any); for a
    // front end that programs one of several modules, or several at once.
    void SetFilter(std::string uid, std::string port) {
        m_filterUid = std::move(uid);
        m_filterPort = std::move(port);
    }
    const std::optional<ModuleIdentity>& Held() const { return m_held; }
    // Which module is open now, if any.
    std::optional<ModuleIdentity> OpenModule() const;
    // While held: the held module's node went away (unplugged, reset). Even when a module with
    // the same identity comes back, it is not opened again until Release: a module that left in
    // the middle of a download may have restarted, and its flash is no longer what was written.
    bool HeldModuleLeft() const { return m_heldLeft; }
    // Set by the latest Open while held: another matching module stood where the held one was
    // looked for (and the held one was not found).
    const std::optional<ModuleIdentity>& Replacement() const { return m_replacement; }

    std::uint32_t FeatureLength() const { return m_nFeatureLength; }
    // The feature buffer itself, so callers can see that a reopen kept it.
    const std::uint8_t* FeatureBuffer() const { return m_pFeatureReport.get(); }

  private:
    // Makes the buffer `length` bytes long, keeping it when it already is.
    bool SizeBuffer(std::unique_ptr<std::uint8_t[]>& buffer, std::uint32_t& recorded,
                    std::uint32_t length) const;
    void Fail();
    // Before the handle is closed (a failed transfer, a new search): notes whether the held
    // module's node is gone.
    void NoteHeldModuleLeft();
    ModuleIdentity IdentityOf(HidDevice& device, const std::string& path) const;

    HidPlatform& m_platform;
    ReportAllocator m_allocate;
    std::uint32_t m_nVendorId = 0;
    std::uint32_t m_nProductId = 0;
    std::unique_ptr<HidDevice> m_hDevice;
    HidCaps m_caps;
    std::unique_ptr<std::uint8_t[]> m_pInputReport;
    std::unique_ptr<std::uint8_t[]> m_pOutputReport;
    std::unique_ptr<std::uint8_t[]> m_pFeatureReport;
    std::uint32_t m_nInputLength = 0;
    std::uint32_t m_nOutputLength = 0;
    std::uint32_t m_nFeatureLength = 0;
    bool m_bOpen = false;
    std::optional<HidAccessProblem> m_accessProblem;
    std::string m_openPath;  // the interface now open
    std::optional<ModuleIdentity> m_held;
    std::string m_heldPath;  // the held module's node
    bool m_heldLeft = false;
    std::optional<ModuleIdentity> m_replacement;
    std::string m_filterUid, m_filterPort;
};

// The Windows calls behind WinHidPlatform: SetupAPI and the configuration manager to list the
// HID interfaces and find their USB devices' location paths, CreateFile to open them, hid.dll
// for attributes, capabilities, feature reports and the serial-number string.

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cwctype>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "device/win_hid_platform.h"
#include "os/os_files.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: these headers build on its types.
#include <cfgmgr32.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

namespace {

// Bounds on what the system hands back, far above any real value.
constexpr DWORD kMaxInterfaceDetailBytes = 64 * 1024;
constexpr ULONG kMaxLocationBytes = 64 * 1024;
constexpr DWORD kMaxInterfaces = 100000;
constexpr int kMaxAncestors = 4;

struct DeviceInfoListDeleter {
    using pointer = HDEVINFO;
    void operator()(HDEVINFO list) const { SetupDiDestroyDeviceInfoList(list); }
};
using DeviceInfoList = std::unique_ptr<void, DeviceInfoListDeleter>;

struct PreparsedDataDeleter {
    void operator()(PHIDP_PREPARSED_DATA data) const { HidD_FreePreparsedData(data); }
};
using PreparsedData =
    std::unique_ptr<std::remove_pointer_t<PHIDP_PREPARSED_DATA>, PreparsedDataDeleter>;

HANDLE AsHandle(WinHidCalls::Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::string ToUtf8(const wchar_t* text, std::size_t length) {
    return os_files::Utf8(std::wstring(text, length));
}

// The units of `buffer` before its first NUL (all of them without one).
std::size_t BoundedLength(const wchar_t* buffer, std::size_t units) {
    std::size_t length = 0;
    while (length < units && buffer[length] != L'\0')
        ++length;
    return length;
}

std::wstring InstanceId(DEVINST node) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return std::wstring(id, BoundedLength(id, MAX_DEVICE_ID_LEN));
}

// The first location path of a device node (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)).
std::string LocationPath(DEVINST node) {
    ULONG bytes = 0;
    ULONG type = 0;
    CONFIGRET result =
        CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, &type, nullptr, &bytes, 0);
    if ((result != CR_BUFFER_SMALL && result != CR_SUCCESS) || bytes == 0 ||
        bytes > kMaxLocationBytes) {
        return {};
    }
    std::vector<wchar_t> paths(bytes / sizeof(wchar_t) + 1, L'\0');
    result = CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, &type, paths.data(),
                                               &bytes, 0);
    if (result != CR_SUCCESS || type != REG_MULTI_SZ)
        return {};
    return ToUtf8(paths.data(), BoundedLength(paths.data(), paths.size()));
}

// The location path of the USB device a HID interface's node belongs to: its parent is that
// device, or one of the device's interfaces (an instance id with &MI_) whose parent is the
// device. Empty for a HID device on another bus.
std::string UsbLocation(DEVINST hidNode) {
    DEVINST node = hidNode;
    for (int depth = 0; depth < kMaxAncestors; ++depth) {
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
            return {};
        node = parent;
        std::wstring id = InstanceId(node);
        for (wchar_t& c : id)
            c = static_cast<wchar_t>(towupper(c));
        if (id.rfind(L"USB\\", 0) != 0)
            return {};
        if (id.find(L"&MI_") == std::wstring::npos)
            return LocationPath(node);
    }
    return {};
}

class SystemCalls final : public WinHidCalls {
  public:
    std::vector<Interface> ListInterfaces() override {
        std::vector<Interface> found;
        GUID hidClass;
        HidD_GetHidGuid(&hidClass);
        const HDEVINFO set = SetupDiGetClassDevsW(&hidClass, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE)
            return found;
        const DeviceInfoList owner(set);
        for (DWORD index = 0; index < kMaxInterfaces; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, index, &data))
                break;  // ERROR_NO_MORE_ITEMS after the last one
            Interface entry;
            DEVINST node = 0;
            if (InterfacePath(set, data, entry.path, node)) {
                entry.location = UsbLocation(node);
                found.push_back(std::move(entry));
            }
        }
        return found;
    }

    Handle Open(const std::string& path, Access access, std::uint32_t& error) override {
        const std::wstring wide = os_files::Wide(path);
        const DWORD rights = access == Access::kReadWrite ? GENERIC_READ | GENERIC_WRITE : 0;
        const HANDLE handle = CreateFileW(wide.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
            error = GetLastError();
            return kNoHandle;
        }
        return reinterpret_cast<Handle>(handle);
    }

    void Close(Handle handle) override { CloseHandle(AsHandle(handle)); }

    bool GetAttributes(Handle handle, HidAttributes& attributes) override {
        HIDD_ATTRIBUTES read{};
        read.Size = sizeof read;
        if (!HidD_GetAttributes(AsHandle(handle), &read))
            return false;
        attributes = {read.VendorID, read.ProductID};
        return true;
    }

    bool GetCaps(Handle handle, HidCaps& caps) override {
        PHIDP_PREPARSED_DATA data = nullptr;
        if (!HidD_GetPreparsedData(AsHandle(handle), &data) || data == nullptr)
            return false;
        const PreparsedData owner(data);
        HIDP_CAPS read{};
        if (HidP_GetCaps(data, &read) != HIDP_STATUS_SUCCESS)
            return false;
        caps = {read.InputReportByteLength, read.OutputReportByteLength,
                read.FeatureReportByteLength};
        return true;
    }

    bool SetFeature(Handle handle, const std::uint8_t* report, std::size_t length) override {
        // HidD_SetFeature only reads the buffer; its parameter is not const.
        return length <= ULONG_MAX &&
               HidD_SetFeature(AsHandle(handle), const_cast<std::uint8_t*>(report),
                               static_cast<ULONG>(length));
    }

    bool GetFeature(Handle handle, std::uint8_t* report, std::size_t length) override {
        return length <= ULONG_MAX &&
               HidD_GetFeature(AsHandle(handle), report, static_cast<ULONG>(length));
    }

    bool GetSerialNumber(Handle handle, char16_t* buffer, std::size_t units) override {
        // hid.dll refuses buffers above 4093 bytes.
        constexpr std::size_t kMaxBytes = 4093;
        const std::size_t bytes = std::min(units * sizeof(char16_t), kMaxBytes & ~std::size_t{1});
        return HidD_GetSerialNumberString(AsHandle(handle), buffer, static_cast<ULONG>(bytes));
    }

    std::string ErrorText(std::uint32_t error) override {
        wchar_t text[512] = {};
        const DWORD units =
            FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, static_cast<DWORD>(std::size(text)), nullptr);
        std::size_t length = BoundedLength(text, units);
        while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                              text[length - 1] == L' ')) {
            --length;
        }
        if (length == 0)
            return "Windows error " + std::to_string(error);
        return ToUtf8(text, length);
    }

  private:
    // The interface's path and its device node; false when either cannot be read.
    static bool InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::string& path,
                              DEVINST& node) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
            required > kMaxInterfaceDetailBytes) {
            return false;
        }
        // DWORD elements keep the detail structure aligned.
        std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        const DWORD size = static_cast<DWORD>(storage.size() * sizeof(DWORD));
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &device))
            return false;
        const std::size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        const std::size_t units = (size - offset) / sizeof(wchar_t);
        path = ToUtf8(detail->DevicePath, BoundedLength(detail->DevicePath, units));
        node = device.DevInst;
        return !path.empty();
    }
};

}  // namespace

std::unique_ptr<WinHidCalls> SystemHidCalls() {
    return std::make_unique<SystemCalls>();
}

// Any bytes as a HID report descriptor, and as a device's uevent text: the parsers read them
// without crashing, in bounded time, and never give a length the 16-bit capability cannot hold.
#include <cstdlib>

#include "device/hidraw_platform.h"
#include "device/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    HidCaps caps = ParseReportDescriptor(std::span(bytes, size));
    if (caps.featureReportLength == 1 || caps.inputReportLength == 1 ||
        caps.outputReportLength == 1) {
        std::abort();  // a declared report always has at least one data byte
    }
    std::string_view text(reinterpret_cast<const char*>(bytes), size);
    HidUevent uevent = ParseHidUevent(text);
    if (uevent.haveUniq && Utf8ToUtf16(uevent.uniq).size() > uevent.uniq.size())
        std::abort();
    // The port path is the start of HID_PHYS, never more.
    const std::string port = PortPathOfPhys(uevent.phys);
    if (uevent.phys.compare(0, port.size(), port) != 0)
        std::abort();
    return 0;
}

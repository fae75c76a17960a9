#include "device/hidraw_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "device/hidraw_arrivals.h"
#include "device/report_descriptor.h"
#include "text/hex_digit.h"

namespace {

constexpr std::size_t kMaxSysfsFile = 65536;

// Reads a small sysfs file whole (bounded).
bool ReadSmallFile(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    out.clear();
    char chunk[4096];
    bool ok = true;
    while (out.size() < kMaxSysfsFile) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        out.append(chunk, static_cast<std::size_t>(std::min<ssize_t>(n, kMaxSysfsFile)));
    }
    ::close(fd);
    return ok;
}

bool ParseHexNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 8)
        return false;
    std::uint32_t v = 0;
    for (char c : text) {
        const int d = HexDigitValue(c);
        if (d < 0)
            return false;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    value = v;
    return true;
}

// The N of "hidrawN", or -1.
long HidrawNumber(std::string_view name) {
    constexpr std::string_view prefix = "hidraw";
    if (name.substr(0, prefix.size()) != prefix || name.size() == prefix.size() ||
        name.size() > prefix.size() + 9) {
        return -1;
    }
    long n = 0;
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Owns one open hidraw node.
class HidrawDevice final : public HidDevice {
  public:
    HidrawDevice(int fd, std::string deviceFolder) : m_fd(fd), m_folder(std::move(deviceFolder)) {}
    ~HidrawDevice() override { ::close(m_fd); }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    bool GetCaps(HidCaps& caps) override {
        std::string descriptor;
        if (!ReadSmallFile(m_folder + "/report_descriptor", descriptor) || descriptor.empty()) {
            if (!DescriptorFromIoctl(descriptor))
                return false;
        }
        caps = ParseReportDescriptor(
            std::span(reinterpret_cast<const std::uint8_t*>(descriptor.data()), descriptor.size()));
        return true;
    }

    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        return Ioctl(HIDIOCSFEATURE(length), const_cast<std::uint8_t*>(report)) >= 0;
    }

    bool GetFeature(std::uint8_t* report, std::size_t length) override {
        int n = Ioctl(HIDIOCGFEATURE(length), report);
        if (n < 0)
            return false;
        // A shorter report leaves the rest of the buffer as zeros, not as stale bytes.
        if (static_cast<std::size_t>(n) < length)
            std::memset(report + n, 0, length - n);
        return true;
    }

    bool GetSerialNumber(std::u16string& serial) override {
        // A device's serial-number string does not change while its node stays open.
        if (!m_serial) {
            std::string uevent;
            if (!ReadSmallFile(m_folder + "/uevent", uevent))
                return false;
            HidUevent parsed = ParseHidUevent(uevent);
            if (!parsed.haveUniq)
                return false;
            m_serial = Utf8ToUtf16(parsed.uniq);
        }
        serial = *m_serial;
        return true;
    }

    // An unplugged device's node answers every request with ENODEV.
    bool StillPresent() override {
        hidraw_devinfo info{};
        return Ioctl(HIDIOCGRAWINFO, &info) >= 0;
    }

  private:
    int Ioctl(unsigned long request, void* argument) {
        int n;
        do {
            n = ::ioctl(m_fd, request, argument);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    bool DescriptorFromIoctl(std::string& descriptor) {
        int size = 0;
        if (Ioctl(HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
            return false;
        }
        hidraw_report_descriptor rd{};
        rd.size = static_cast<__u32>(size);
        if (Ioctl(HIDIOCGRDESC, &rd) < 0)
            return false;
        descriptor.assign(reinterpret_cast<const char*>(rd.value), rd.size);
        return true;
    }

    int m_fd;
    std::string m_folder;
    std::optional<std::u16string> m_serial;
};

}  // namespace

HidUevent ParseHidUevent(std::string_view text) {
    HidUevent out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.substr(0, 7) == "HID_ID=") {
            std::string_view v = line.substr(7);
            std::size_t c1 = v.find(':');
            std::size_t c2 = c1 == std::string_view::npos ? c1 : v.find(':', c1 + 1);
            if (c2 != std::string_view::npos && ParseHexNumber(v.substr(0, c1), out.bus) &&
                ParseHexNumber(v.substr(c1 + 1, c2 - c1 - 1), out.vendor) &&
                ParseHexNumber(v.substr(c2 + 1), out.product)) {
                out.haveId = true;
            }
        } else if (line.substr(0, 9) == "HID_UNIQ=") {
            out.haveUniq = true;
            out.uniq = std::string(line.substr(9));
        } else if (line.substr(0, 9) == "HID_PHYS=") {
            out.phys = std::string(line.substr(9));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
    static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char lead = static_cast<unsigned char>(s[i]);
        std::size_t extra = lead < 0x80             ? 0
                            : (lead & 0xE0) == 0xC0 ? 1
                            : (lead & 0xF0) == 0xE0 ? 2
                            : (lead & 0xF8) == 0xF0 ? 3
                                                    : 4;  // a stray continuation or 0xF8..0xFF
        bool good = extra < 4 && i + extra < s.size();
        char32_t cp = extra == 0 ? lead : lead & (0x7F >> extra);
        for (std::size_t k = 1; good && k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(s[i + k]);
            good = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (!good || cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return out;
}

HidrawPlatform::HidrawPlatform(std::string sysRoot, std::string devRoot)
    : m_sysRoot(std::move(sysRoot)), m_devRoot(std::move(devRoot)) {}

HidrawPlatform::~HidrawPlatform() = default;

std::vector<std::string> HidrawPlatform::EnumerateInterfaces() {
    std::vector<std::pair<long, std::uint64_t>> found;  // number, inode of the class entry
    if (DIR* dir = ::opendir((m_sysRoot + "/class/hidraw").c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            long n = HidrawNumber(entry->d_name);
            if (n >= 0)
                found.emplace_back(n, entry->d_ino);
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    paths.reserve(found.size());
    const std::string prefix = m_devRoot + "/hidraw";
    for (const auto& entry : found)
        paths.push_back(prefix + std::to_string(entry.first));

    // A node seen before under the same entry keeps what its uevent said; any other is new.
    const std::lock_guard lock(m_mutex);
    const bool same = std::equal(found.begin(), found.end(), m_nodes.begin(), m_nodes.end(),
                                 [](const auto& f, const Node& node) {
                                     return f.first == node.number && f.second == node.inode;
                                 });
    if (!same) {
        std::vector<Node> nodes;
        nodes.reserve(found.size());
        auto known = m_nodes.begin();
        for (const auto& [number, inode] : found) {
            while (known != m_nodes.end() && known->number < number)
                ++known;
            if (known != m_nodes.end() && known->number == number && known->inode == inode) {
                nodes.push_back(std::move(*known));
            } else {
                nodes.emplace_back();
                nodes.back().number = number;
                nodes.back().inode = inode;
            }
        }
        m_nodes = std::move(nodes);
    }
    return paths;
}

// The N of the hidrawN that ends a node path, or -1.
static long NodeNumber(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return HidrawNumber(path.substr(slash == std::string_view::npos ? 0 : slash + 1));
}

HidrawPlatform::Node* HidrawPlatform::Known(long number) {
    auto at = std::lower_bound(m_nodes.begin(), m_nodes.end(), number,
                               [](const Node& node, long n) { return node.number < n; });
    return at != m_nodes.end() && at->number == number && at->read ? &*at : nullptr;
}

bool HidrawPlatform::Identity(const std::string& path, Node& identity) {
    const long number = NodeNumber(path);
    {
        const std::lock_guard lock(m_mutex);
        if (const Node* known = Known(number)) {
            identity = *known;
            return identity.readable;
        }
    }
    std::string text;
    identity.readable = ReadSmallFile(DeviceFolder(path) + "/uevent", text);
    const HidUevent uevent = identity.readable ? ParseHidUevent(text) : HidUevent{};
    // Identifiers wider than 16 bits cannot be USB identifiers; they match nothing.
    identity.haveId = uevent.haveId && uevent.vendor <= 0xFFFF && uevent.product <= 0xFFFF;
    identity.attributes = {static_cast<std::uint16_t>(uevent.vendor),
                           static_cast<std::uint16_t>(uevent.product)};
    identity.port = PortPathOfPhys(uevent.phys);
    // Kept for the node as the last enumeration listed it (a node it did not list is not kept).
    const std::lock_guard lock(m_mutex);
    auto listed = std::lower_bound(m_nodes.begin(), m_nodes.end(), number,
                                   [](const Node& node, long n) { return node.number < n; });
    if (listed != m_nodes.end() && listed->number == number) {
        identity.number = listed->number;
        identity.inode = listed->inode;
        identity.read = true;
        *listed = identity;
    }
    return identity.readable;
}

std::string HidrawPlatform::DeviceFolder(const std::string& path) const {
    std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return m_sysRoot + "/class/hidraw/" + name + "/device";
}

bool HidrawPlatform::GetAttributes(const std::string& path, HidAttributes& attributes) {
    {
        const std::lock_guard lock(m_mutex);
        if (const Node* known = Known(NodeNumber(path))) {
            if (!known->readable || !known->haveId)
                return false;
            attributes = known->attributes;
            return true;
        }
    }
    Node identity;
    if (!Identity(path, identity) || !identity.haveId)
        return false;
    attributes = identity.attributes;
    return true;
}

std::string PortPathOfPhys(std::string_view phys) {
    const std::size_t input = phys.rfind("/input");
    return std::string(input == std::string_view::npos ? phys : phys.substr(0, input));
}

std::unique_ptr<ArrivalWatch> HidrawPlatform::WatchArrivals(std::function<void()> changed) {
    auto watch = std::make_unique<HidrawArrivals>(m_devRoot, std::move(changed));
    if (!watch->Watching())
        return nullptr;
    return watch;
}

std::string HidrawPlatform::PortPath(const std::string& path) {
    Node identity;
    return Identity(path, identity) ? identity.port : std::string();
}

std::unique_ptr<HidDevice> HidrawPlatform::Open(const std::string& path, HidOpenError& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error.error = errno;
        error.text = std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<HidrawDevice>(fd, DeviceFolder(path));
}

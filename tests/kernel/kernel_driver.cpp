// The kernel test's driver, run as /init's child inside a QEMU guest with the real HID core and
// uhid. It programs pravune-vmodule through HidrawPlatform, CHidPort and the protocol class
// exactly as the window does, and ends with the line "N passed, M failed".
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/boot_protocol.h"
#include "device/hidraw_platform.h"
#include "image/hex_reader.h"
#include "image/image_check.h"
#include "image/serial_number.h"
#include "sim/virtual_bootloader.h"
#include "tests/support/counting_platform.h"
#include "tests/support/hex_text.h"

namespace {

const char* const kVmodule = "/bin/pravune-vmodule";
int g_passed = 0, g_failed = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    ++(ok ? g_passed : g_failed);
}

double NowMs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// One pravune-vmodule process, stopped (and its flash dumped) when this goes.
class Vmodule {
  public:
    explicit Vmodule(std::vector<std::string> args) {
        args.insert(args.begin(), kVmodule);
        m_pid = ::fork();
        if (m_pid == 0) {
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(kVmodule, argv.data());
            ::_exit(127);
        }
    }
    ~Vmodule() { Stop(); }
    void Stop() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

  private:
    pid_t m_pid = -1;
};

// The window's side of the protocol: a wait gives one tick a millisecond later; a handshake that
// finds nothing gives up after five seconds.
struct GuestHost : BootHost {
    void PumpOneMessage() override {}
    void WaitForEvent() override {
        ::usleep(1000);
        tick = true;
        if (++waits > 5000)
            cancel = true;
    }
    void StartTimer(int, unsigned) override { waits = 0; }
    void StopTimer(int) override {}
    void SetProgressRange(std::uint32_t, std::uint32_t) override {}
    void SetProgressStep(std::uint32_t) override {}
    void SetProgressPos(std::uint32_t) override {}
    std::atomic<bool> cancel{false}, tick{false};
    int waits = 0;
    std::string status;
};

// Waits up to five seconds for the module just started; a miss fails the named test.
bool ModuleFound(CHidPort& port, const std::string& test) {
    const double until = NowMs() + 5000;
    while (!port.SetTarget(0xC001, 0x2156)) {
        if (NowMs() > until) {
            Check(false, "module for the " + test + " test found");
            return false;
        }
        ::usleep(5000);
    }
    return true;
}

// A full image from 0x0E00 to 0x3BF9 with bytes 0..2, and a 0xFF slot for the serial number.
HexImage FullImage() {
    HexImage image;
    std::string status;
    ReadHexBuffer(Data(0, {0x02, 0x0E, 0x00}) + "\n" + FullImageHex(0x0E00, 0x3BFA), image, status);
    std::fill_n(&image.data[0x3B00], 4, std::uint8_t{0xFF});
    image.valid = CheckImage(image);
    return image;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FlashHoldsPlan(const std::string& flash, const HexImage& image,
                    const std::vector<std::uint8_t>& serial, std::uint32_t serialAt) {
    if (flash.size() != VirtualBootloader::kFlashSize)
        return false;
    for (std::uint32_t a = 0; a < flash.size(); ++a) {
        std::uint8_t want = 0xFF;
        if (a < 3 || (a >= 0x0E00 && a < image.end))
            want = image.data[a];
        if (a >= serialAt && a < serialAt + serial.size())
            want = serial[a - serialAt];
        if (static_cast<std::uint8_t>(flash[a]) != want) {
            std::printf("  flash differs at 0x%04X: 0x%02X, expected 0x%02X\n", a,
                        static_cast<std::uint8_t>(flash[a]), want);
            return false;
        }
    }
    return true;
}

void FindProgramAndTime() {
    Vmodule vmodule({"--serial", "KRN123", "--dump", "/tmp/flash1.bin"});
    HidrawPlatform hidraw;
    CountingPlatform platform(hidraw);
    CHidPort port(platform);
    Check(ModuleFound(port, "discovery"),
          "the module is found by vendor and product through sysfs");
    Check("SN: " + port.GetSerialText() == "SN: KRN123", "its serial reads SN: KRN123");
    Check(port.FeatureLength() == 65, "its feature report is 65 bytes with the report id");

    GuestHost host;
    CBootProtocol protocol(port, host, host.status, host.cancel, host.tick);
    const HexImage image = FullImage();
    Check(protocol.Handshake(0) && host.status == "Handshake -- OK", "handshake");
    Check(protocol.EraseDevice(), "erase");

    // One exchange (set report plus get report), timed.
    const BootPacket probe = MakePacket(CMD_HANDSHAKE);
    BootPacket answer{};
    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
        const double start = NowMs();
        if (!protocol.Exchange(port, probe.data(), 64, answer.data(), 64))
            break;
        times.push_back((NowMs() - start) * 1e3);
    }
    Check(times.size() == 200 && answer[0] == ACK, "200 exchanges answered with ACK");
    std::sort(times.begin(), times.end());
    const double median = times.empty() ? 0 : times[times.size() / 2];
    const double p95 = times.empty() ? 0 : times[times.size() * 95 / 100];

    const double start = NowMs();
    const bool written = protocol.WriteFlash(image);
    const double writeMs = NowMs() - start;
    Check(written, "WriteFlash of a full image (211 code blocks)");
    const std::vector<std::uint8_t> serial = SerialBytes(0x00123456, 4);
    Check(protocol.WriteBlocks(CMD_WRITE, serial.data(), 0x3B00, 0x3B04), "serial-number write");
    Check(protocol.RunDevice() && host.status == "BT: Run device -- OK", "run");
    vmodule.Stop();
    Check(FlashHoldsPlan(ReadFile("/tmp/flash1.bin"), image, serial, 0x3B00),
          "the module's flash is the image as the plan places it, and the serial number");
    std::printf(
        "FIGURE exchange median %.0f us, p95 %.0f us; WriteFlash %.1f ms = %.2f x (211 x "
        "median)\n",
        median, p95, writeMs, median > 0 ? writeMs * 1e3 / (211 * median) : 0);
}

// The module is pulled away after `vanishAfter` exchanges (60: in the middle of the code) and
// comes back `absentMs` later, or never.
void PulledAway(const char* absentMs) {
    std::vector<std::string> args = {"--serial", "KRN124", "--vanish-after",
                                     "60",       "--dump", "/tmp/flash2.bin"};
    if (absentMs)
        args.insert(args.end(), {"--absent-ms", absentMs});
    Vmodule vmodule(args);
    HidrawPlatform hidraw;
    CountingPlatform platform(hidraw);
    CHidPort port(platform);
    if (!ModuleFound(port, "pull-away"))
        return;
    GuestHost host;
    CBootProtocol protocol(port, host, host.status, host.cancel, host.tick);
    const HexImage image = FullImage();
    protocol.Handshake(0);
    protocol.EraseDevice();
    const long enumerations = platform.enumerations;
    const std::size_t opens = platform.opened.size();
    const bool written = protocol.WriteFlash(image);
    const long searched = platform.enumerations - enumerations;
    const std::string label = absentMs ? std::string("back after ") + absentMs + " ms" : "gone";
    if (written) {
        vmodule.Stop();
        Check(absentMs && platform.opened.size() > opens &&
                  FlashHoldsPlan(ReadFile("/tmp/flash2.bin"), image, {}, 0),
              "pulled away mid-write, " + label + ": the port reopened and the write finished (" +
                  std::to_string(searched) + " searches)");
    } else {
        // The first attempt dies on the old node and closes the port; the other 99 search.
        Check(!port.IsOpen() && host.status == "BT: Find device -- None" && searched == 99,
              "pulled away mid-write, " + label + ": the block failed after 100 attempts (" +
                  std::to_string(searched) + " searches, status \"" + host.status + "\")");
    }
}

void NoPermission() {
    Vmodule vmodule({"--serial", "KRN125"});
    HidrawPlatform hidraw;
    CountingPlatform platform(hidraw);
    CHidPort port(platform);
    if (!ModuleFound(port, "permission"))
        return;
    const std::string node = platform.opened.back();
    port.Close();
    ::chmod(node.c_str(), 0600);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        HidrawPlatform real;
        CHidPort unprivileged(real);
        const bool ok = !unprivileged.SetTarget(0xC001, 0x2156) &&
                        unprivileged.AccessProblem() == HidAccessProblem{node, "Permission denied"};
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    Check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "a node that may not be opened: not found, and the problem recorded for " + node);
}

void SilentModule() {
    Vmodule vmodule({"--serial", "KRN126", "--no-answer-after", "2"});
    HidrawPlatform hidraw;
    CountingPlatform platform(hidraw);
    CHidPort port(platform);
    if (!ModuleFound(port, "silent"))
        return;
    GuestHost host;
    CBootProtocol protocol(port, host, host.status, host.cancel, host.tick);
    const BootPacket probe = MakePacket(CMD_HANDSHAKE);
    BootPacket answer{};
    Check(protocol.Exchange(port, probe.data(), 64, answer.data(), 64), "one exchange answered");
    const double start = NowMs();
    const bool ok = protocol.Exchange(port, probe.data(), 64, answer.data(), 64);
    const double seconds = (NowMs() - start) / 1e3;
    Check(!ok && !port.IsOpen() && host.status == "Write from device -- fail!" && seconds < 12,
          "a module that stops answering: the request times out (" + std::to_string(seconds) +
              " s) and the port closes");
}

// The command-line loader programs three modules at once through the kernel: one watch run,
// three distinct serial numbers, each module's flash exact.
void CliWatchesThreeModules() {
    ::mkdir("/tmp/cli", 0755);
    std::ofstream("/tmp/cli/fw.hex") << Data(0, {0x02, 0x0E, 0x00}) << "\n"
                                     << FullImageHex(0x0E00, 0x3B00);
    std::ofstream("/tmp/cli/config.ini")
        << "[SETTING]\nm_strPath_flash=/tmp/cli/fw.hex\nAutoSN=1\nSN_StartAddr=3B00\n"
           "SN_Current=00000010\nSN_Bytes=4\nSN_Step=1\n";
    std::vector<std::unique_ptr<Vmodule>> modules;
    for (const char* serial : {"KRNA01", "KRNB02", "KRNC03"}) {
        modules.push_back(std::make_unique<Vmodule>(std::vector<std::string>{
            "--serial", serial, "--dump", std::string("/tmp/cli/") + serial + ".bin"}));
    }
    HidrawPlatform hidraw;
    const double until = NowMs() + 5000;
    auto present = [&] {
        int n = 0;
        for (const std::string& path : hidraw.EnumerateInterfaces()) {
            HidAttributes a;
            n += hidraw.GetAttributes(path, a) && a.vendorId == 0x2156 && a.productId == 0xC001;
        }
        return n;
    };
    while (present() < 3 && NowMs() < until)
        ::usleep(5000);
    Check(present() == 3, "three modules present for the command line");
    // Runs pravune-cli with the station's config.ini; its exit code (-1 when it hung).
    auto cli = [](std::vector<std::string> args, const std::string& out) {
        args.insert(args.begin(), {"pravune-cli", "--config", "/tmp/cli/config.ini"});
        const double started = NowMs();
        const pid_t child = ::fork();
        if (child == 0) {
            std::freopen(out.c_str(), "w", stdout);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv("/bin/pravune-cli", argv.data());
            ::_exit(127);
        }
        int status = -1;
        while (::waitpid(child, &status, WNOHANG) == 0 && NowMs() - started < 60000)
            ::usleep(10000);
        if (NowMs() - started >= 60000) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    auto lines = [](const std::string& path) {
        const std::string text = ReadFile(path);
        return std::count(text.begin(), text.end(), '\n');
    };
    const bool listed = cli({"list"}, "/tmp/cli/list.txt") == 0;
    Check(listed && lines("/tmp/cli/list.txt") == 3 &&
              ReadFile("/tmp/cli/list.txt").find("UID KRNB02  port ") != std::string::npos,
          "pravune-cli list shows the three modules with their UID and port");
    const double started = NowMs();
    const bool watched = cli({"watch", "--count", "3"}, "/tmp/cli/watch.txt") == 0;
    Check(watched, "pravune-cli watch --count 3 exits 0 (" +
                       std::to_string(static_cast<int>(NowMs() - started)) + " ms)");
    if (!watched)
        std::printf("%s", ReadFile("/tmp/cli/watch.txt").c_str());
    Check(cli({"program", "--module", "KRNA01", "--wait", "10"}, "/tmp/cli/program.txt") == 0,
          "pravune-cli program --module KRNA01 programs that module again");
    Check(cli({"records", "--csv"}, "/tmp/cli/records.txt") == 0 &&
              lines("/tmp/cli/records.txt") == 5,
          "pravune-cli records lists the four downloads");
    for (auto& m : modules)
        m->Stop();
    HexImage image;
    std::string text;
    ReadHexBuffer(ReadFile("/tmp/cli/fw.hex"), image, text);
    CheckImage(image);
    std::vector<std::uint32_t> numbers;  // KRNA01's last, then the other two
    bool exact = true;
    for (const char* serial : {"KRNA01", "KRNB02", "KRNC03"}) {
        const std::string flash = ReadFile(std::string("/tmp/cli/") + serial + ".bin");
        if (flash.size() != VirtualBootloader::kFlashSize) {
            exact = false;
            continue;
        }
        std::uint32_t value = 0;
        for (int b = 0; b < 4; ++b)
            value = (value << 8) | static_cast<std::uint8_t>(flash[0x3B00 + b]);
        numbers.push_back(value);
        exact = exact && FlashHoldsPlan(flash, image, SerialBytes(value, 4), 0x3B00);
    }
    Check(exact, "each module's flash holds the image and its serial number");
    // watch gave 0x10, 0x11 and 0x12 to the three; program gave KRNA01 the next one, 0x13.
    const bool distinct = numbers.size() == 3 && numbers[0] == 0x13 && numbers[1] != numbers[2] &&
                          numbers[1] >= 0x10 && numbers[1] <= 0x12 && numbers[2] >= 0x10 &&
                          numbers[2] <= 0x12;
    Check(distinct, "distinct serial numbers: two of 0x10 to 0x12, and 0x13 for KRNA01");
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    FindProgramAndTime();
    PulledAway(nullptr);
    PulledAway("0");
    NoPermission();
    SilentModule();
    CliWatchesThreeModules();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}

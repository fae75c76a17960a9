// pravune-vmodule: a virtual PRAVUNE module on this machine's own HID core, through /dev/uhid.
// The loader (or anything using hidraw) finds it like a module plugged into USB. Needs root, or
// write access to /dev/uhid.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/uhid_module.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

void Usage(std::FILE* out) {
    const UhidModule::Options defaults;
    std::fprintf(
        out,
        "usage: pravune-vmodule [--serial TEXT] [--vid HEX] [--pid HEX] [--dump FILE]\n"
        "                       [--no-answer-after N] [--vanish-after K [--absent-ms M]]\n"
        "                       [--short-answer-after N] [--garbage-after N]\n"
        "       pravune-vmodule --help\n"
        "A virtual PRAVUNE module in bootloader mode on this machine's HID core, through\n"
        "/dev/uhid: the loader finds it like a module plugged into USB. Needs the uhid kernel\n"
        "module (sudo modprobe uhid) and root, or write access to /dev/uhid.\n"
        "  --serial TEXT        the USB serial-number string (default %s)\n"
        "  --vid HEX            the USB vendor identifier, 4 hexadecimal digits (default %04X)\n"
        "  --pid HEX            the USB product identifier, 4 hexadecimal digits (default %04X)\n"
        "  --dump FILE          write the module's 16 KiB flash to FILE on exit\n"
        "  --no-answer-after N  answer N requests, then none (the kernel times out)\n"
        "  --vanish-after K     destroy the device after K exchanges ...\n"
        "  --absent-ms M        ... and create it again M ms later (default: never)\n"
        "  --short-answer-after N  answer N get reports, then only the report id\n"
        "  --garbage-after N    answer N get reports, then every byte inverted\n"
        "  -h, --help           show this text and exit\n"
        "Stops on SIGINT or SIGTERM.\n",
        defaults.serial.c_str(), static_cast<unsigned>(defaults.vendor),
        static_cast<unsigned>(defaults.product));
}

bool ParseLong(const char* text, long& value, int base = 10) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, base);
    if (errno || !end || *end || end == text)
        return false;
    value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    UhidModule::Options options;
    std::string dump;
    for (int i = 1; i < argc; i += 2) {  // options come in pairs: name, value
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {  // the one option without a value
            Usage(stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (!value) {
            Usage(stderr);
            return 2;
        }
        if (arg == "--serial") {
            options.serial = value;
        } else if (arg == "--dump") {
            dump = value;
        } else if ((arg == "--vid" || arg == "--pid") && ParseLong(value, number, 16) &&
                   number >= 0 && number <= 0xFFFF) {
            (arg == "--vid" ? options.vendor : options.product) =
                static_cast<std::uint16_t>(number);
        } else if (arg == "--no-answer-after" && ParseLong(value, number)) {
            options.noAnswerAfter = number;
        } else if (arg == "--vanish-after" && ParseLong(value, number)) {
            options.vanishAfter = number;
        } else if (arg == "--absent-ms" && ParseLong(value, number)) {
            options.absentMs = number;
        } else if (arg == "--short-answer-after" && ParseLong(value, number)) {
            options.shortAfter = number;
        } else if (arg == "--garbage-after" && ParseLong(value, number)) {
            options.garbageAfter = number;
        } else {
            Usage(stderr);
            return 2;
        }
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;  // no SA_RESTART: poll returns on the signal
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    VirtualBootloader module(options.serial, 0xFF);
    UhidModule device(module, options);
    std::string error;
    if (!device.Create(error)) {
        std::fprintf(stderr, "pravune-vmodule: %s\n", error.c_str());
        return 1;
    }
    const int result = device.Run(g_stop);
    if (!dump.empty()) {
        std::ofstream out(dump, std::ios::binary);
        out.write(reinterpret_cast<const char*>(module.flash().data()),
                  static_cast<std::streamsize>(module.flash().size()));
        if (!out) {
            std::fprintf(stderr, "pravune-vmodule: cannot write %s\n", dump.c_str());
            return 1;
        }
    }
    return result;
}

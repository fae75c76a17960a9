#include "station/window_options.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "pravune_version.h"
#include "settings/config_keys.h"
#include "settings/settings_store.h"

namespace {

// The options that QGuiApplication and QApplication take themselves. Qt accepts each with one
// dash or two, some also as -name=value.
// clang-format off
constexpr std::string_view kQtOptions[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
    "qwindowgeometry", "qwindowicon", "qwindowtitle", "reverse", "session", "style",
    "stylesheet", "widgetcount", "display", "geometry", "title", "name", "visual", "ncols",
    "cmap", "nograb", "dograb", "sync", "testability"};
// clang-format on

bool IsQtOption(std::string_view name) {
    name = name.substr(0, name.find('='));
    for (std::string_view known : kQtOptions)
        if (name == known)
            return true;
    return false;
}

void PrintUsage(std::FILE* out, const CommandLineInfo& info) {
#ifdef _WIN32
    // The Win32 window: no toolkit options, the settings under %APPDATA%.
    std::fprintf(
        out,
        "usage: %s [--help | --version] [--config FILE]\n"
        "%s"
        "  -h, --help     show this text and exit\n"
        "  -v, --version  show the version and exit\n"
        "  --config FILE  keep the settings in FILE (its serial counter, lock and record\n"
        "                 lie beside it)\n"
        "Any other option that starts with two dashes is an error.\n"
        "Without --config the settings are kept in config.ini beside the executable when\n"
        "the loader may write that folder and it is not under Program Files or the Windows\n"
        "folder, else in %%APPDATA%%\\%s\\config.ini.\n"
        "The About box (in the window's system menu) shows the file in use.\n",
        info.program, info.purpose, info.program);
#else
    std::fprintf(
        out,
        "usage: %s [--help | --version] [--config FILE] [Qt options]\n"
        "%s"
        "  -h, --help     show this text and exit\n"
        "  -v, --version  show the version and exit\n"
        "  --config FILE  keep the settings in FILE (its serial counter, lock and record\n"
        "                 lie beside it)\n"
        "Other options are Qt's own, with one dash or two: for example -platform offscreen,\n"
        "-style fusion, -reverse. Any other option that starts with two dashes is an\n"
        "error.\n"
        "Without --config the settings are kept in config.ini beside the executable when\n"
        "the loader may write that folder and it is not one the system's programs share,\n"
        "else in $XDG_CONFIG_HOME/%s/config.ini (by default ~/.config/%s/).\n"
        "The About box (F1) shows the file in use.\n",
        info.program, info.purpose, info.program, info.program);
#endif
}

// Ends with the exit code of a print to standard output: 1 when it could not be written.
int Flushed() {
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace

std::optional<int> AnswerCommandLine(int& argc, char** argv, const CommandLineInfo& info,
                                     ConfigLocation& where) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout, info);
            return Flushed();
        }
        if (arg == "--version" || arg == "-v") {
            std::printf("%s %s\n", info.program, PRAVUNE_VERSION);
            return Flushed();
        }
    }
    std::string named;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--config" || arg.substr(0, 9) == "--config=") {
            if (arg == "--config" && i + 1 == argc) {
                std::fprintf(stderr, "%s: --config needs a file\n", info.program);
                return 2;
            }
            named = arg == "--config" ? argv[++i] : std::string(arg.substr(9));
            if (named.empty()) {
                std::fprintf(stderr, "%s: --config needs a file\n", info.program);
                return 2;
            }
            continue;
        }
        if (arg.size() > 2 && arg.substr(0, 2) == "--" && !IsQtOption(arg.substr(2))) {
            std::fprintf(stderr, "%s: unknown option %s\n", info.program, argv[i]);
            PrintUsage(stderr, info);
            return 2;
        }
        argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
    where = LocateConfig(ConfigInputsFromEnvironment(info.program, named));
    if (where.path.empty()) {
        std::fprintf(stderr, "%s: %s\n", info.program, where.problem.c_str());
        return 2;
    }
    return std::nullopt;
}

std::string FindSample(const std::string& exeDir) {
    constexpr const char* kSampleFile = "pravune-sample.hex";
    for (const std::string& candidate :
         {exeDir + "/" + kSampleFile,
          exeDir + "/../share/pravune-loader/examples/" + kSampleFile}) {
        std::error_code ec;
        const std::filesystem::path path(std::u8string(candidate.begin(), candidate.end()));
        if (!std::filesystem::is_regular_file(path, ec))
            continue;
        std::filesystem::path full = std::filesystem::weakly_canonical(path, ec);
        if (ec)
            return candidate;
        const std::u8string text = full.make_preferred().u8string();
        return std::string(text.begin(), text.end());
    }
    return {};
}

std::string NameSampleWhenNoFile(const std::string& config, const std::string& exeDir) {
    if (exeDir.empty() ||
        !settings_file::Read(config, config_keys::kSection, config_keys::kHexPath, "").empty())
        return {};
    const std::string sample = FindSample(exeDir);
    if (sample.empty())
        return "the sample pravune-sample.hex was not found";
    std::string reason;
    if (!settings_file::Write(config, config_keys::kSection, config_keys::kHexPath, sample,
                              &reason))
        return "cannot write " + config + ": " + reason;
    return {};
}

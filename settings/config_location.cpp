#include "settings/config_location.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "os/os_files.h"
#include "settings/settings_store.h"

namespace fs = std::filesystem;

namespace {

using os_files::IsAbsolute;

// Paths are UTF-8 inside; std::filesystem's narrow strings are the system's code page on Windows.
fs::path PathOf(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string TextOf(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The path with symbolic links resolved as far as the path exists, or as given.
std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(PathOf(path), ec);
    return ec ? TextOf(PathOf(path).lexically_normal()) : TextOf(p);
}

// Copies `from` to `to` when `to` does not exist. Returns the error, empty on success or when
// `to` exists.
std::string CopyWithoutReplacing(const std::string& from, const std::string& to) {
    std::string text;
    std::string reason;
    if (!settings_file::ReadBytes(from, text, &reason))
        return "cannot read " + from + ": " + reason;
    return os_files::CreateWithoutReplacing(to, text);
}

// The path for comparing as Windows does: '/' separators, ASCII letters in lower case, no
// empty, "." or ".." parts, no trailing separator (a "\\\\server" start is kept).
std::string ComparablePath(const std::string& path) {
    std::string text = os_files::ResolvedFullPath(path);
    const bool unc = text.size() >= 2 && (text[0] == '/' || text[0] == '\\') &&
                     (text[1] == '/' || text[1] == '\\');
    std::vector<std::string> parts;
    std::string part;
    auto flush = [&] {
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (char c : text) {
        if (c == '/' || c == '\\')
            flush();
        else
            part += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    flush();
    std::string out = unc ? "/" : "";
    const bool drive = !text.empty() && text[0] != '/' && text[0] != '\\';
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 || !drive)
            out += '/';
        out += parts[i];
    }
    return out;
}

}  // namespace

bool IsInFolder(const std::string& folder, const std::string& root) {
    if (folder.empty() || root.empty() || !IsAbsolute(root))
        return false;
    const std::string f = ComparablePath(folder);
    const std::string r = ComparablePath(root);
    if (r.empty() || r == "/")
        return false;
    return f == r || (f.size() > r.size() && f.compare(0, r.size(), r) == 0 && f[r.size()] == '/');
}

bool IsSharedProgramFolder(const std::string& folder, const std::string& home,
                           const std::vector<std::string>& systemFolders) {
    if (folder.empty())
        return false;
    for (const std::string& root : systemFolders) {
        if (IsInFolder(folder, root))
            return true;
    }
    const std::string f = Canonical(folder);
    for (const char* shared : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/games",
                               "/usr/local/bin", "/usr/local/sbin", "/usr/local/games"}) {
        if (f == shared || f == Canonical(shared))
            return true;
    }
    return IsAbsolute(home) && f == Canonical(home + "/.local/bin");
}

ConfigLocationInputs ConfigInputsFromEnvironment(const std::string& program,
                                                 const std::string& named) {
    ConfigLocationInputs in;
    in.named = named;
    in.executableDir = ExecutableDirectory();
    in.program = program;
    in.xdgConfigHome = os_files::UserConfigBase();
    in.home = os_files::HomeFolder();
    in.systemFolders = os_files::SystemProgramFolders();
    return in;
}

namespace {

ConfigLocation Locate(const ConfigLocationInputs& in) {
    ConfigLocation where;
    if (!in.named.empty()) {
        where.origin = ConfigOrigin::kNamed;
        std::error_code ec;
        const fs::path named = fs::absolute(PathOf(in.named), ec).lexically_normal();
        if (ec) {
            where.problem = "cannot resolve " + in.named + ": " + ec.message();
            return where;
        }
        if (fs::is_directory(named, ec)) {
            where.problem = TextOf(named) + " is a folder; name the settings file in it";
            return where;
        }
        // A device, a FIFO or a socket is no settings file, and its folder (/dev) no place for
        // the records and locks kept beside it.
        if (const fs::file_status status = fs::status(named, ec);
            fs::exists(status) && !fs::is_regular_file(status)) {
            where.problem = TextOf(named) + " is not a regular file";
            return where;
        }
        if (!fs::is_directory(named.parent_path(), ec)) {
            where.problem = "the folder " + TextOf(named.parent_path()) + " does not exist";
            return where;
        }
        where.path = TextOf(named);
        return where;
    }

    const auto writable = in.folderWritable ? in.folderWritable : os_files::FolderWritable;
    const std::string beside = in.executableDir.empty() ? "" : in.executableDir + "/config.ini";
    if (!in.executableDir.empty() &&
        !IsSharedProgramFolder(in.executableDir, in.home, in.systemFolders) &&
        writable(in.executableDir)) {
        where.origin = ConfigOrigin::kBesideExecutable;
        where.path = beside;
        return where;
    }

    where.origin = ConfigOrigin::kUserConfig;
    std::string base;
    if (IsAbsolute(in.xdgConfigHome))
        base = in.xdgConfigHome;
    else if (IsAbsolute(in.home))
        base = in.home + "/.config";
    else {
        where.problem = "the executable's folder " + in.executableDir +
                        " may not hold the settings, and neither XDG_CONFIG_HOME nor HOME names "
                        "a folder for them; name a file with --config";
        return where;
    }
    const fs::path folder = PathOf(base).lexically_normal() / PathOf(in.program);
    where.path = TextOf(folder / "config.ini");
    where.problem = os_files::MakePrivateFolders(TextOf(folder));
    if (!where.problem.empty() || os_files::FileExists(where.path) || beside.empty())
        return where;
    os_files::FileVersion version;
    if (os_files::VersionOf(beside, version) && version.regular) {
        where.problem = CopyWithoutReplacing(beside, where.path);
        if (where.problem.empty())
            where.copiedFrom = beside;
    }
    return where;
}

}  // namespace

ConfigLocation LocateConfig(const ConfigLocationInputs& in) {
    ConfigLocation where = Locate(in);
    // A place others may tamper with is told at once; the lock and the record refuse it.
    if (!where.path.empty() && where.problem.empty())
        where.problem = SettingsPlaceProblem(where.path);
    return where;
}

std::string DescribeConfigOrigin(ConfigOrigin origin) {
    switch (origin) {
        case ConfigOrigin::kNamed:
            return "named with --config";
        case ConfigOrigin::kBesideExecutable:
            return "beside the executable";
        case ConfigOrigin::kUserConfig:
            return "in the user's settings folder";
    }
    return {};
}

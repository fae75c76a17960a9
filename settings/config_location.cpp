#include "settings/config_location.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "settings/settings_store.h"

namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string AccountHome() {
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

// The path with symbolic links resolved as far as the path exists, or as given.
std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(path, ec);
    return ec ? fs::path(path).lexically_normal().string() : p.string();
}

// Makes the folder and its missing parents, each new one private (0700, as XDG Base Directory
// asks of a program that makes them). Returns the error of the first that could not be made.
std::string MakePrivateFolders(const fs::path& folder) {
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return p.string() + " is not a folder";
            break;
        }
        missing.push_back(p);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot create " + it->string() + ": " + std::strerror(errno);
    }
    return {};
}

// Copies `from` to `to` when `to` does not exist: through a temporary file in the same folder,
// flushed, then linked into place, which fails rather than replace a file another loader made
// meanwhile. Returns the error, empty on success or when `to` exists.
std::string CopyWithoutReplacing(const std::string& from, const std::string& to) {
    std::string text;
    std::string reason;
    if (!settings_file::ReadBytes(from, text, &reason))
        return "cannot read " + from + ": " + reason;
    std::string temp = to + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return "cannot create a file beside " + to + ": " + std::strerror(errno);
    int error = 0;
    if (::fchmod(fd, 0600) != 0)
        error = errno;
    for (std::size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            error = errno;
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::link(temp.c_str(), to.c_str()) != 0 && errno != EEXIST)
        error = errno;
    ::unlink(temp.c_str());
    return error == 0 ? std::string() : "cannot write " + to + ": " + std::strerror(error);
}

}  // namespace

bool IsSharedProgramFolder(const std::string& folder, const std::string& home) {
    if (folder.empty())
        return false;
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
    in.xdgConfigHome = Env("XDG_CONFIG_HOME");
    in.home = Env("HOME");
    if (!IsAbsolute(in.home))
        in.home = AccountHome();
    return in;
}

ConfigLocation LocateConfig(const ConfigLocationInputs& in) {
    ConfigLocation where;
    if (!in.named.empty()) {
        where.origin = ConfigOrigin::kNamed;
        std::error_code ec;
        const fs::path named = fs::absolute(in.named, ec).lexically_normal();
        if (ec) {
            where.problem = "cannot resolve " + in.named + ": " + ec.message();
            return where;
        }
        if (fs::is_directory(named, ec)) {
            where.problem = named.string() + " is a folder; name the settings file in it";
            return where;
        }
        if (!fs::is_directory(named.parent_path(), ec)) {
            where.problem = "the folder " + named.parent_path().string() + " does not exist";
            return where;
        }
        where.path = named.string();
        return where;
    }

    const auto writable = in.folderWritable ? in.folderWritable : [](const std::string& folder) {
        return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    };
    const std::string beside = in.executableDir.empty() ? "" : in.executableDir + "/config.ini";
    if (!in.executableDir.empty() && !IsSharedProgramFolder(in.executableDir, in.home) &&
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
    const fs::path folder = fs::path(base).lexically_normal() / in.program;
    where.path = (folder / "config.ini").string();
    where.problem = MakePrivateFolders(folder);
    if (!where.problem.empty() || FileExists(where.path) || beside.empty())
        return where;
    struct stat st {};
    if (::stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        where.problem = CopyWithoutReplacing(beside, where.path);
        if (where.problem.empty())
            where.copiedFrom = beside;
    }
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

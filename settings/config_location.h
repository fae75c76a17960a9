#pragma once

#include <functional>
#include <string>
#include <vector>

// Where a front end keeps config.ini, and with it the settings lock and the record store (both
// lie beside config.ini). The window and pravune-cli choose by the same rule:
//  1. a file the operator names (--config PATH);
//  2. beside the executable, when the loader may write that folder and it is the loader's own,
//     not a folder the system's programs share (/usr/bin, /usr/local/bin, ~/.local/bin ...):
//     what a copy unpacked or installed into a folder of its own has always done. Never in or
//     under one of the system's program folders (on Windows %ProgramFiles%, %ProgramFiles(x86)%,
//     %ProgramW6432%, %SystemRoot%, %windir%), even when this run may write there: an
//     administrator's run would otherwise count serial numbers in a config.ini of its own while
//     a standard user's run counts in %APPDATA%, and a number could be given twice;
//  3. otherwise $XDG_CONFIG_HOME/<program>/config.ini ($HOME/.config when XDG_CONFIG_HOME is not
//     set or not an absolute path; %APPDATA%\<program>\config.ini on Windows), the folders made
//     private (0700) when missing. When that file does not exist yet and a config.ini lies beside
//     the executable (an older copy in Program Files, say), it is copied there first, so that the
//     settings and the serial counter carry on from it.

enum class ConfigOrigin { kNamed, kBesideExecutable, kUserConfig };

struct ConfigLocation {
    std::string path;  // the config.ini to use, absolute; empty when there is none
    ConfigOrigin origin = ConfigOrigin::kNamed;
    std::string copiedFrom;  // the config.ini beside the executable that was copied to `path`
    // Why there is no path, or what may fail with this one (its folder could not be made, the
    // copy failed); empty when all is well.
    std::string problem;
};

struct ConfigLocationInputs {
    std::string named;          // --config PATH, empty when not given
    std::string executableDir;  // the folder of the running executable
    std::string program;        // the folder's name under the user's configuration folder
    std::string xdgConfigHome;  // $XDG_CONFIG_HOME
    std::string home;           // $HOME, or the account's home folder
    // True when the loader may create and replace files in the folder; by default the system's
    // answer for this process (faccessat with W_OK | X_OK; a read-only mount says no).
    std::function<bool(const std::string& folder)> folderWritable;
    // The system's program folders: the executable's folder may be none of them nor lie under
    // one. Empty on POSIX systems (IsSharedProgramFolder knows theirs there).
    std::vector<std::string> systemFolders;
};

// The inputs of this process: its executable's folder and its environment.
ConfigLocationInputs ConfigInputsFromEnvironment(const std::string& program,
                                                 const std::string& named);

// Applies the rule; makes the user's configuration folder and copies config.ini into it when
// that is where the settings go. A place that SettingsPlaceProblem refuses (another user's link,
// a folder other users may write) keeps its path, with that reason as the problem.
ConfigLocation LocateConfig(const ConfigLocationInputs& in);

// True for the folders that hold the system's and the user's programs side by side, where a
// file named config.ini belongs to no program in particular: on POSIX systems /usr/bin and its
// like, and any folder in or under one of `systemFolders` (Windows' Program Files and Windows).
bool IsSharedProgramFolder(const std::string& folder, const std::string& home,
                           const std::vector<std::string>& systemFolders = {});

// True when `folder` is `root` or lies under it, compared as Windows compares paths: letters
// of either case, '/' or '\\' as separators, repeated and trailing separators ignored, "." and
// ".." taken away, after the system's full path resolution (8.3 names made long on Windows).
// A root that is empty or not absolute contains nothing.
bool IsInFolder(const std::string& folder, const std::string& root);

// Why the settings are where they are, for an operator: "beside the executable" and so on.
std::string DescribeConfigOrigin(ConfigOrigin origin);

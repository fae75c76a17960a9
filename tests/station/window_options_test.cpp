#include "station/window_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/case_name.h"
#include "tests/support/temp_dir.h"

namespace {

// What the window's command line leaves for the toolkit, and when it ends the process instead.
// "@" in an argument stands for the test's settings file.
struct Case {
    const char* name;
    std::vector<std::string> args;
    std::optional<int> exit;            // nothing: the window opens
    std::vector<std::string> leftOver;  // the arguments the toolkit gets, after the program
};

class WindowOptions : public testing::TestWithParam<Case> {};

TEST_P(WindowOptions, AnswerOrLeaveForTheToolkit) {
    const Case& c = GetParam();
    const TempDir dir;
    const std::string config = dir.File("config.ini");
    std::vector<std::string> args{"pravune-loader"};
    for (std::string arg : c.args) {
        if (const std::size_t at = arg.find('@'); at != std::string::npos)
            arg.replace(at, 1, config);
        args.push_back(arg);
    }
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    ConfigLocation where;
    const std::optional<int> exit =
        AnswerCommandLine(argc, argv.data(), {"pravune-loader", "Programs modules.\n"}, where);
    EXPECT_EQ(exit, c.exit);
    if (c.exit)
        return;
    std::vector<std::string> left;
    for (int i = 1; i < argc; ++i)
        left.emplace_back(argv[i]);
    EXPECT_EQ(left, c.leftOver);
    EXPECT_EQ(argv[argc], nullptr);
    // Element by element: Windows writes the path with its own separator.
    EXPECT_TRUE(std::filesystem::path(where.path) == std::filesystem::path(config)) << where.path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowOptions,
    testing::Values(Case{"ConfigAndQtOptions",
                         {"--config", "@", "-platform", "offscreen"},
                         {},
                         {"-platform", "offscreen"}},
                    Case{"ConfigWithEqualsAndQtOptionsWithTwoDashes",
                         {"--style=fusion", "--config=@", "--reverse", "file.hex"},
                         {},
                         {"--style=fusion", "--reverse", "file.hex"}},
                    Case{"ConfigWithoutFile", {"--config"}, 2, {}},
                    Case{"ConfigWithEmptyFile", {"--config="}, 2, {}},
                    Case{"UnknownOption", {"--config", "@", "--bogus"}, 2, {}},
                    Case{"QtOptionNameIsNoPrefix", {"--config", "@", "--stylesheets"}, 2, {}},
                    Case{"VersionBeforeAnyRefusal", {"--bogus", "-v"}, 0, {}},
                    Case{"HelpBeforeAnyRefusal", {"--config", "--help"}, 0, {}}),
    CaseName());

}  // namespace

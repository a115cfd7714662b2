#include <gtest/gtest.h>

#include "core/ProgramOptions.h"
#include "core/Window.h"

namespace {

std::optional<core::ProgramOptions> parse(std::vector<std::string> args, std::string* error) {
    return core::parseProgramOptions(args, error);
}

TEST(ProgramOptions, TerminalRunWithSimulationAndMenuCommands) {
    std::string error;
    auto o = parse({"--cli", "--yes", "--update", "--simulate=13:jp:12.10", "--time-scale=0.05",
                    "--simulate-radio", "1031039", "--erase-keys", "--about", "--show-log"},
                   &error);
    ASSERT_TRUE(o) << error;
    EXPECT_TRUE(o->cli && o->yes && o->update);
    EXPECT_EQ(*o->simulate, "13:jp:12.10");
    EXPECT_DOUBLE_EQ(*o->timeScale, 0.05);
    EXPECT_EQ(*o->simulateRadioBuild, 1031039);
    EXPECT_EQ(o->menuCommands,
              (std::vector<int>{core::kMenuEraseKeys, core::kMenuAbout, core::kMenuShowLog}));
}

TEST(ProgramOptions, UnusableCommandLinesAreRefused) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--simulate=5", "--time-scale=0"}, "--time-scale needs a number"},
        {{"--simulate=5", "--time-scale=fast"}, "--time-scale needs a number"},
        {{"--simulate=5", "--time-scale=nan"}, "--time-scale needs a number"},
        {{"--yes"}, "--yes needs --cli"},
        {{"--factory-reset"}, "menu commands as options need --cli"},
        {{"--cli", "--simulate"}, "--simulate needs a value"},
        {{"--cli", "--simulate="}, "--simulate needs a value"},
        {{"--cli", "--simulate", "--yes"}, "--simulate needs a value"},
        {{"--simulate-radio=5"}, "--simulate-radio needs --simulate"},
        {{"--simulate=5", "--simulate-radio=x"}, "--simulate-radio needs a build number"},
        {{"--scan-once", "--cli", "--update"}, "--scan-once goes with no other front end option"},
        {{"--scan-once", "--about"}, "--scan-once goes with no other front end option"},
    };
    for (const auto& [args, expected] : cases) {
        std::string error;
        EXPECT_FALSE(parse(args, &error)) << args[0];
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

TEST(ProgramOptions, HelpAndPlainRuns) {
    std::string error;
    EXPECT_TRUE(parse({}, &error));
    EXPECT_TRUE(parse({"--simulate", "5:std"}, &error)->simulate);
    EXPECT_TRUE(parse({"--scan-once"}, &error)->scanOnce);
    auto terminal = parse({"--cli", "--scan-once"}, &error);
    ASSERT_TRUE(terminal) << error;
    EXPECT_TRUE(terminal->scanOnce);
    EXPECT_TRUE(parse({"--help", "--bogus"}, &error) == std::nullopt);
    EXPECT_TRUE(parse({"-h"}, &error)->help);
    EXPECT_NE(std::string(core::programUsage()).find("--time-scale"), std::string::npos);
}

}  // namespace

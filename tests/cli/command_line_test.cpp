#include <gtest/gtest.h>

#include "RunProgram.h"
#include "core/WindowProcedure.h"
#include "platform/linux/FlockInstanceLock.h"

namespace {

using cli_testing::ProgramRun;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CommandLineTest : public ::testing::Test {
  protected:
    cli_testing::ProgramRunner runner;
};

TEST_F(CommandLineTest, UnusableCommandLinesExitWithTwo) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--time-scale=0.1"}, "--time-scale works only with --simulate"},
        {{"--cli", "--simulate=5", "--time-scale=-1"}, "--time-scale needs a number"},
        {{"--cli", "--simulate=17"}, "--simulate=17: the device type must be a number"},
        {{"--cli", "--simulate=5:xx"}, "unknown part \"xx\""},
        {{"--cli", "--wat"}, "unknown option \"--wat\""},
        {{"--update"}, "--update needs --cli"},
        {{"--cli", "--log-file"}, "--log-file needs a value"},
    };
    for (const auto& [args, message] : cases) {
        const ProgramRun r = runner.run(args);
        EXPECT_EQ(r.exitCode, 2) << message;
        EXPECT_TRUE(has(r.err, message)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    const ProgramRun help = runner.run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(has(help.out, "--simulate=MODEL"));
    EXPECT_TRUE(has(help.out, "--log-file PATH"));
    const ProgramRun version = runner.run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("quorta-updater ", 0), 0u) << version.out;
    EXPECT_EQ(version.out.back(), '\n');

    // A log file that cannot be written ends the run before any device work.
    const ProgramRun noLog =
        runner.run({"--cli", "--simulate=5", "--log-file", "/nonexistent-dir/update.log"});
    EXPECT_EQ(noLog.exitCode, 1);
    EXPECT_TRUE(has(noLog.err, "cannot write the log file \"/nonexistent-dir/update.log\""))
        << noLog.err;
    EXPECT_TRUE(noLog.out.empty()) << noLog.out;
}

TEST_F(CommandLineTest, ScanOnceWithoutADevice) {
    // No GPS on this machine's USB: said plainly, not as an error.
    const ProgramRun r = runner.run({"--scan-once"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "deviceScan BEGIN"));
    EXPECT_TRUE(has(r.out, "No Quorta GPS device was found.\n"));
}

TEST_F(CommandLineTest, ScanOnceFindsTheSimulatedGpsAndItsOffer) {
    // A terminal user writes --cli too: the same scan.
    const ProgramRun r =
        runner.run({"--cli", "--scan-once", "--simulate=13:jp:12.10", "--time-scale=0.01"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "Sending READ_DEVICE_INFO")) << r.out;
    EXPECT_TRUE(
        has(r.out, "\nOsprey Max connected\nVer: 12.10\nJapanese\nOffer: Update to 14.51\n"))
        << r.out;
    EXPECT_FALSE(has(r.out, "\r"));
}

TEST_F(CommandLineTest, TheSecondUpdaterOnlySaysSo) {
    platform::FlockInstanceLock first(runner.runtimeDir());
    ASSERT_TRUE(first.acquire(std::string(core::kInstanceLockName) + "-simulated"));
    const ProgramRun r = runner.run({"--cli", "--simulate=5", "--time-scale=0.01"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "[Quorta GPS Updater Message]\nYou already have updater running.\n");
    // The real updater's lock is another one: a simulation does not block it.
    platform::FlockInstanceLock real(runner.runtimeDir());
    EXPECT_TRUE(real.acquire(core::kInstanceLockName));
}

TEST_F(CommandLineTest, AboutAloneShowsTheCarriedVersions) {
    const ProgramRun r = runner.run({"--cli", "--about", "--simulate=5", "--time-scale=0.01"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out,
                    "[About]\nQuorta Gps Firmware Programmer\n\nFirmware versions:\n"
                    " Osprey GPS \t7.63\n"));
    EXPECT_TRUE(has(r.out, "  Heron Lite \t13.12\n[OK] OK\n")) << r.out;
}

}  // namespace

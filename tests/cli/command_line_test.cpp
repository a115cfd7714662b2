#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "RunProgram.h"
#include "core/TestImages.h"
#include "core/WindowProcedure.h"
#include "platform/linux/FlockInstanceLock.h"

namespace {

using cli_testing::ProgramRun;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The run logs kept so far, oldest first.
std::vector<std::string> runLogs(const std::string& folder) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
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
        // Every value of the simulation, checked before anything starts.
        {{"--simulate=0005"}, "--simulate=0005: the device type must be a number from 0 to 16"},
        {{"--simulate=5:jp:7"}, "--simulate=5:jp:7: the version 7 has no dot"},
        {{"--simulate=5:jp:7.62.1"}, "the version must be MAJOR.MINOR"},
        {{"--simulate=5:jp:128.0"}, "the version must be MAJOR.MINOR"},
        {{"--simulate=5:7.62:jp"}, "unknown part \"jp\""},
        {{"--simulate=5::7.62"}, "--simulate=5::7.62: an empty part"},
        {{"--simulate=5:jp:7.62:flash"},
         "unknown part \"flash\": expected TYPE[:jp|std][:MAJOR.MINOR][:app|bootloader|rom]"},
        {{"--simulate=2:rom"}, "a GPS that starts in a bootloader is of type 4 to 16"},
        {{"--simulate=5", "--simulate-fault=radio-fails,wobble"},
         "--simulate-fault: unknown fault \"wobble\" (--simulate-fault=help lists them)"},
        {{"--simulate=5", "--simulate-fault=unplug@write-55"}, "unknown point \"write-55\""},
        {{"--simulate=5", "--simulate-fault=link-open-fails"}, "link-open-fails needs a count"},
        {{"--simulate=5", "--simulate-fault=unplug@write-50,unplug@before-erase"},
         "the cable comes out at one point only"},
        {{"--simulate-drive=/tmp"}, "--simulate-drive needs --simulate"},
        {{"--simulate-fault=silent"}, "--simulate-fault needs --simulate"},
        {{"--simulate=5", "--simulate-drive=/nonexistent-dir"},
         "--simulate-drive=/nonexistent-dir: no such folder"},
        {{"--simulate=5", "--simulate-drive=/dev/null"},
         "--simulate-drive=/dev/null: not a folder"},
        {{"--simulate=5", "--simulate-replug=3"}, "--simulate-replug goes with an unplug@ fault"},
        {{"--simulate=5", "--simulate-fault=unplug@write-50", "--simulate-replug=soon"},
         "--simulate-replug=soon: a number of seconds from 0 to 3600, or never"},
        {{"--cli", "--wat"}, "unknown option \"--wat\""},
        {{"--update"}, "--update needs --cli"},
        {{"--cli", "--log-file"}, "--log-file needs a value"},
        {{"--cli", "--replay-trace", "t.jsonl", "--simulate=5"},
         "--replay-trace goes with neither --simulate nor --record-trace"},
    };
    for (const auto& [args, message] : cases) {
        const ProgramRun r = runner.run(args);
        EXPECT_EQ(r.exitCode, 2) << message;
        EXPECT_TRUE(has(r.err, message)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(r.err.find('\n'), r.err.find("\nRun quorta-updater --help")) << r.err;
    }
    const ProgramRun faults = runner.run({"--simulate-fault=help"});
    EXPECT_EQ(faults.exitCode, 0);
    EXPECT_TRUE(has(faults.out, "\n  unplug@write-50" + std::string(19, ' ') +
                                    "after 50% of the write's data packets\n"))
        << faults.out;
    EXPECT_TRUE(has(faults.out, "\n  flash-refuses-writes "));
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

TEST_F(CommandLineTest, EveryRunKeepsItsOwnLog) {
    const std::string folder = runner.stateDir() + "/quorta-updater";
    const std::string support = runner.baseDir() + "/support.log";
    const std::vector<std::string> args = {"--cli", "--simulate=5", "--time-scale=0.01"};
    std::vector<std::string> withLogFile = args;
    withLogFile.insert(withLogFile.end(), {"--log-file", support});
    const ProgramRun first = runner.run(withLogFile);
    runner.run(args);
    std::vector<std::string> logs = runLogs(folder);
    ASSERT_EQ(logs.size(), 2u);
    // The same lines as --log-file writes, which are the log view's.
    EXPECT_TRUE(has(slurp(logs[0]), "deviceScan BEGIN\n")) << slurp(logs[0]);
    EXPECT_EQ(slurp(logs[0]), slurp(support));
    EXPECT_TRUE(has(slurp(logs[1]), "deviceScan BEGIN\n"));

    // A second updater that only says so leaves no log (and removes none).
    {
        platform::FlockInstanceLock held(runner.runtimeDir());
        ASSERT_TRUE(held.acquire(std::string(core::kInstanceLockName) + "-simulated"));
        runner.run(args);
    }
    EXPECT_EQ(runLogs(folder), logs);

    // A folder planted as a link is refused, said once, and the run goes on.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(runner.baseDir() + "/elsewhere");
    std::filesystem::create_directory_symlink(runner.baseDir() + "/elsewhere", folder);
    std::vector<std::string> showLog = args;
    showLog.push_back("--show-log");
    const ProgramRun linked = runner.run(showLog);
    EXPECT_EQ(linked.exitCode, first.exitCode);
    const std::string refusal =
        "No log of this run is kept in " + folder + ": it is a symbolic link\n";
    EXPECT_TRUE(has(linked.err, refusal)) << linked.err;
    EXPECT_EQ(linked.err.find(refusal), linked.err.rfind(refusal));
    EXPECT_TRUE(std::filesystem::is_empty(runner.baseDir() + "/elsewhere"));
}

TEST_F(CommandLineTest, AboutAloneShowsTheCarriedVersions) {
    const ProgramRun r = runner.run({"--cli", "--about", "--simulate=5", "--time-scale=0.01"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string note = core::buildHasTestImages() ? core::kTestImagesBuildNote : "";
    EXPECT_TRUE(has(r.out, "[About]\n" + note +
                               "Quorta Gps Firmware Programmer\n\nFirmware versions:\n"
                               " Osprey GPS \t7.63\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "  Heron Lite \t13.12\n[OK] OK\n")) << r.out;
}

}  // namespace

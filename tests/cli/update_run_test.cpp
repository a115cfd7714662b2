// The terminal front end through whole runs against the simulated GPS.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "CliWindow.h"
#include "RunProgram.h"
#include "core/DeviceRecord.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/UpdateWorkers.h"
#include "core/UpdaterState.h"
#include "core/WindowProcedure.h"
#include "hidport/hidport.h"
#include "platform/Threads.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/XdgPaths.h"
#include "sim/SimulatedMachine.h"

namespace {

using cli_testing::ProgramRun;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// `parts` appear in `text` in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos) return false;
        at += p.size();
    }
    return true;
}

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(UpdateRun, YesAndUpdateBringTheGpsUpToDate) {
    cli_testing::ProgramRunner runner;
    const std::string logPath = runner.runtimeDir() + "/support.log";
    const ProgramRun r =
        runner.run({"--cli", "--yes", "--update", "--show-log", "--simulate=13:jp:12.10",
                    "--simulate-radio=1332013", "--time-scale=0.02", "--log-file=" + logPath});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(inOrder(r.out,
                        {
                            "Title:  Osprey Max connected\n        Ver: 12.10-1332013\n",
                            "Button: [Update to 14.51]\n",
                            "Yes/No? No (--yes)\n",  // the backup reminder
                            "Pressing [Update to 14.51]\n",
                            "Please do not unplug your device.  This will take a few "
                            "minutes.\nOK/Cancel? OK (--yes)\n",
                            "Warning: Do not unplug GPS\n",
                            "Detail: Flashing\n        25% done\n",
                            "Title:  Osprey Max connected\n        Ver: 14.51-1333026\n",
                            "Detail: Restoring Data...\n",
                            "Detail: Latest software is installed on device\n",
                        }))
        << r.out;
    // The log went to standard error, with its line ends made plain.
    EXPECT_TRUE(has(r.err, "\nDBT_DEVNODES_CHANGED\n"));
    EXPECT_FALSE(has(r.err, "\r"));
    // Not a terminal: no bar drawn in place, plain lines only.
    EXPECT_FALSE(has(r.out, "\r"));
    // --log-file holds the same lines as the log. Two threads logging at
    // once may reach the terminal's loop in the other order, so the lines
    // are compared, not their order.
    std::ifstream file(logPath);
    std::stringstream logged;
    logged << file.rdbuf();
    EXPECT_EQ(sortedLines(logged.str()), sortedLines(r.err));
    EXPECT_GT(sortedLines(r.err).size(), 100u);
}

// On a terminal the bar is one line drawn again in place, taken off before a
// status line and gone when the step ends.
TEST(TerminalBar, DrawnInPlaceOnATerminalOnly) {
    for (bool terminal : {true, false}) {
        core::FrontEndContext context;
        std::istringstream in;
        std::ostringstream out, err;
        ui_cli::CliWindow window(context, in, out, err, nullptr, true, terminal);
        window.setProgress(40);
        window.setProgress(100);
        window.startMarquee();
        if (!terminal) {
            EXPECT_EQ(out.str(), "");
            continue;
        }
        EXPECT_EQ(out.str(),
                  "\r[################------------------------]  40%"
                  "\r[########################################] 100%"
                  "\r\033[K");
    }
}

TEST(UpdateRun, AnOfferLeftAloneOrDeclined) {
    cli_testing::ProgramRunner runner;
    ProgramRun r = runner.run({"--cli", "--simulate=11:jp:14.40", "--time-scale=0.02"}, "no\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out, "Yes/No? no\n"));  // answers from a pipe are echoed
    EXPECT_TRUE(has(r.out, "An update is offered; run with --update to install it.\n"));

    // Asked on standard input: an unclear answer asks again; Cancel changes
    // nothing.
    r = runner.run({"--cli", "--update", "--simulate=11:jp:14.40", "--time-scale=0.02"},
                   "n\nmaybe\ncancel\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out, "Pressing [Update to 14.51]\n"));
    EXPECT_TRUE(has(r.out, "OK/Cancel? maybe\nOK/Cancel? cancel\n")) << r.out;
    EXPECT_FALSE(has(r.out, "Flashing"));

    // With nothing more to read, a question gets the answer that changes
    // nothing.
    r = runner.run({"--cli", "--update", "--simulate=11:jp:14.40", "--time-scale=0.02"}, "n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out, "OK/Cancel? (no answer) Cancel\n")) << r.out;
}

TEST(UpdateRun, MenuCommandsAsOptions) {
    cli_testing::ProgramRunner runner;
    ProgramRun r = runner.run(
        {"--cli", "--yes", "--factory-reset", "--simulate=13:jp:14.51", "--time-scale=0.02"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(inOrder(r.out, {"Menu: Restore device to factory defaults\n",
                                "[FACTORY RESET]\nDo you want to restore factory defaults?\n"
                                "Yes/No? Yes (--yes)\n",
                                "[Language Pack]\nSuccessfully Updated Language Packs.\n"}))
        << r.out;

    // The instructions page only opens on a Yes of one's own.
    r = runner.run(
        {"--cli", "--yes", "--erase-keys", "--simulate=13:jp:14.51", "--time-scale=0.02"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(has(r.out, "Load Instructon page now?\nYes/No? No (--yes)\n"));
    EXPECT_FALSE(has(r.out, "Open this page"));

    // A command whose item is disabled is not run, and the run fails.
    r = runner.run({"--cli", "--yes", "--erase-keys", "--erase-keys", "--simulate=13:jp:14.51",
                    "--time-scale=0.02"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out, "Menu: Erase Encryption Key Storage is not available now.\n")) << r.out;
}

// In process, to give the simulated GPS a radio that refuses its update.
TEST(UpdateRun, ARadioThatFailsEndsWithItsMessageAndOne) {
    platform::ScaledClock clock(0.02);
    platform::StdThreads threads;
    platform::LinuxFiles files;
    core::state().reset();
    core::deviceRecord().store(core::DeviceRecord{});
    core::clearReportCallbacks();
    auto machine = std::make_unique<sim::SimulatedMachine>(&clock);
    platform::XdgPaths paths(machine->folder() + "/cache");
    sim::GpsConfig config;
    config.deviceType = 13;
    config.versionMajor = 12;
    config.versionMinor = 10;
    config.radioBuild = 1332013;
    config.faults.radioUpdateFails = true;
    machine->addGps(config).plugIn(sim::GpsMode::Application);

    core::Services s;
    s.clock = &clock;
    s.usbDevices = &machine->usbDevices();
    s.volumes = &machine->volumes();
    s.volumeEjector = &machine->ejector();
    s.paths = &paths;
    s.files = &files;
    s.threads = &threads;
    s.startOnBootloaderModeThread = core::startOnBootloaderModeThread;
    core::setServices(s);
    core::resetWorkflows();
    core::installReportCallbacks();

    core::FrontEndContext context;
    context.options.cli = context.options.yes = context.options.update = true;
    context.events = &machine->deviceEvents();
    context.simulated = true;
    std::istringstream in;
    std::ostringstream out, err;
    int code = -1;
    {
        ui_cli::CliWindow window(context, in, out, err);
        core::services().window = &window;
        code = window.run();
        core::services().window = nullptr;
    }
    threads.joinAll();
    core::setServices(core::Services{});
    core::clearReportCallbacks();
    machine.reset();
    hidport::clearSimulatedDevices();

    EXPECT_EQ(code, 1);
    EXPECT_TRUE(has(out.str(),
                    "[Wireless Firmware Update Problem]\nPlease disconnect the Quorta GPS device "
                    "from the computer USB.  Close and Restart the updater app. Reconnect the "
                    "Quorta GPS device and try the update again.\n[OK] OK\n"))
        << out.str();
    EXPECT_FALSE(has(out.str(), "Latest software is installed on device"));
}

}  // namespace

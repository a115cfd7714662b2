// The terminal front end through whole runs against the simulated GPS.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliWindow.h"
#include "RunProgram.h"
#include "core/WindowProcedure.h"

namespace {

using cli_testing::ProgramRun;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using cli_testing::inOrder;

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

// A backup that an earlier run made and never put back (the program ended
// between the factory reset and the restore): --yes puts it back.
TEST(UpdateRun, YesPutsBackABackupAnEarlierRunNeverPutBack) {
    cli_testing::ProgramRunner runner;
    const std::string temp = runner.cacheDir() + "/quorta-updater";
    std::filesystem::create_directories(temp + "/Quorta/Activities");
    ::chmod(temp.c_str(), 0700);
    std::ofstream(temp + "/Quorta/Activities/ride.fit") << "ride";
    std::ofstream(temp + "/Quorta.unrestored") << "type 13\n";
    const ProgramRun r =
        runner.run({"--cli", "--yes", "--simulate=13:jp:14.51", "--time-scale=0.02"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(
        inOrder(r.out, {"[Saved GPS Data]\nFiles saved from your GPS before an earlier "
                        "update were never put back:\n  saved in " +
                            temp + "/Quorta\n",
                        "Yes/No? Yes (--yes)\n", "Detail: The saved files are back on the GPS.\n"}))
        << r.out;
    EXPECT_FALSE(std::filesystem::exists(temp + "/Quorta.unrestored"));
}

TEST(UpdateRun, RecoveryFromTheTerminal) {
    cli_testing::ProgramRunner runner;
    // A Japanese Heron in its ROM bootloader: model 1 (Gen2 Heron), Japanese.
    const std::vector<std::string> rom = {"--cli", "--simulate=5:jp:7.62:rom", "--time-scale=0.02"};
    ProgramRun r = runner.run(rom, "1\nj\n");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(inOrder(
        r.out, {"[Emergency Recovery Mode]\n", "   1) Gen2 Heron\n",
                "Model number (nothing to cancel)? 1\n", "Japanese or English (j/e)? j\nOK\n",
                "Detail: Step 3 of 3\n        25% done\n",
                "Title:  Heron GPS connected\n        Ver: 7.63\n        Japanese\n",
                "Detail: Latest software is installed on device\n"}))
        << r.out;

    // Cancelled: it stays where it was, and the run says so.
    r = runner.run(rom, "\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(inOrder(r.out, {"Model number (nothing to cancel)? \nCancel\n",
                                "The GPS is still in its ROM bootloader: it was not recovered.\n"}))
        << r.out;
    EXPECT_FALSE(has(r.out, "Flashing"));
}

TEST(UpdateRun, AFailedRecoveryThenCancelEndsSayingWhereTheGpsIs) {
    cli_testing::ProgramRunner runner;
    // Model 2 (Gen2 Enh Finch) for a Heron: that firmware does not start on
    // it, the GPS comes back in its ROM bootloader, and the dialog that opens
    // again is cancelled (by the end of the input: the backup reminder may
    // take a line of its own before or after it, as its timer falls).
    const ProgramRun r =
        runner.run({"--cli", "--simulate=5:jp:7.62:rom", "--time-scale=0.02"}, "2\ne\n");
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(inOrder(r.out, {"Model number (nothing to cancel)? 2\n",
                                "[Emergency Recovery Mode]\n", "Model number (nothing to cancel)? ",
                                "Cancel\n", "Detail: The GPS is still in its ROM bootloader.\n",
                                "The GPS is still in its ROM bootloader: it was not recovered.\n"}))
        << r.out;
    EXPECT_FALSE(has(r.out, "stuck")) << r.out;
}

TEST(UpdateRun, FaultsGivenOnTheCommandLine) {
    cli_testing::ProgramRunner runner;
    // A radio that refuses its update ends with its message and 1.
    ProgramRun r = runner.run({"--cli", "--yes", "--update", "--simulate=13:jp:12.10",
                               "--simulate-radio=1332013", "--simulate-fault=radio-fails",
                               "--time-scale=0.02"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out,
                    "[Wireless Firmware Update Problem]\nPlease disconnect the Quorta GPS device "
                    "from the computer USB.  Close and Restart the updater app. Reconnect the "
                    "Quorta GPS device and try the update again.\n[OK] OK\n"))
        << r.out;
    EXPECT_FALSE(has(r.out, "Latest software is installed on device"));
    // (It keeps the Osprey Max's files, and says so.)
    EXPECT_TRUE(has(r.out, "Files from your GPS are kept on this computer in ")) << r.out;

    // A menu command that fails ends no update, yet the run did not do what
    // it was asked: 1.
    cli_testing::ProgramRunner fonts;
    r = fonts.run({"--cli", "--yes", "--language-packs", "--simulate=5",
                   "--simulate-fault=font-fails", "--time-scale=0.02"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(has(r.out, "[Language Pack]\nCould Not Update Language Packs.\n")) << r.out;

    // The cable pulled halfway through the write and plugged back in: the
    // half-written GPS comes back in its ROM bootloader, and the recovery
    // answered on standard input (while the update's own run is still
    // giving up on the flash bootloader) brings it back. (A computer of its
    // own, away from the files kept above.)
    cli_testing::ProgramRunner other;
    r = other.run({"--cli", "--update", "--show-log", "--simulate=5:jp:7.50",
                   "--simulate-fault=unplug@write-50", "--time-scale=0.02"},
                  "n\nok\n1\nj\n");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(has(r.err, "Program command did not complete")) << r.err;
    EXPECT_TRUE(inOrder(r.out, {"Detail: Flashing\n        50% done\n", "[Emergency Recovery Mode]",
                                "Japanese or English (j/e)? j\n",
                                "Detail: Latest software is installed on device\n"}))
        << r.out;
}

TEST(UpdateRun, TheDriveIsAFolderOfTheUsers) {
    cli_testing::ProgramRunner runner;
    const std::filesystem::path drive = runner.runtimeDir() + "/drive";
    std::filesystem::create_directories(drive / "Quorta");
    std::ofstream(drive / "Quorta" / "ride.fit") << "a ride";
    std::ofstream(drive / "notes.txt") << "kept";
    const ProgramRun r = runner.run({"--cli", "--yes", "--factory-reset", "--simulate=13:jp:14.51",
                                     "--simulate-drive=" + drive.string(), "--time-scale=0.02"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    // The factory reset emptied its Quorta folder, the language packs went
    // into its root, and what else was there stays.
    EXPECT_TRUE(std::filesystem::is_empty(drive / "Quorta"));
    EXPECT_GT(std::filesystem::file_size(drive / "Kanji_11x12.bin"), 0u);
    EXPECT_TRUE(std::filesystem::exists(drive / "notes.txt"));
}

}  // namespace

namespace rider_files {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> markers(const fs::path& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.path().extension() == ".unrestored") found.push_back(entry.path().string());
    return found;
}

}  // namespace rider_files

// The roads on which a rider's files were lost across runs and answers.
TEST(UpdateRun, TheRidersFilesOutliveFaultsAndAnswers) {
    namespace fs = std::filesystem;
    using rider_files::markers;
    using rider_files::readAll;
    cli_testing::ProgramRunner runner;
    const fs::path drive = runner.baseDir() + "/drive";
    const fs::path backups = runner.cacheDir() + "/quorta-updater";
    fs::create_directories(drive / "Quorta" / "Rides");
    std::ofstream(drive / "Quorta" / "Rides" / "r1.fit") << "ride one";
    std::ofstream(drive / "Quorta" / "user.cfg") << "settings";
    const std::vector<std::string> gps = {"--simulate=13:jp:12.10",
                                          "--simulate-drive=" + drive.string(), "--time-scale=0.02",
                                          "--show-log"};
    auto args = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), "--cli");
        extra.insert(extra.end(), gps.begin(), gps.end());
        return extra;
    };

    // The cable pulled before the jump: the GPS comes back on its old
    // firmware. No factory reset, its files untouched, nothing kept.
    ProgramRun r = runner.run(args({"--yes", "--update", "--simulate-fault=unplug@before-jump"}));
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_FALSE(has(r.err, "FACTORY_RESET")) << r.err;
    EXPECT_TRUE(has(r.out, "The GPS still has its earlier firmware; its files were not changed."));
    EXPECT_EQ(readAll(drive / "Quorta" / "Rides" / "r1.fit"), "ride one");
    EXPECT_EQ(readAll(drive / "Quorta" / "user.cfg"), "settings");
    EXPECT_TRUE(markers(backups).empty());

    // An earlier run's backup that was never put back (the reset emptied the
    // GPS), No to putting it back, then an update: the kept backup survives
    // the new one, and the run says where the files are and exits 1.
    fs::remove_all(backups / "Quorta");  // let go of: its files are on the GPS
    fs::create_directories(backups);
    fs::rename(drive / "Quorta", backups / "Quorta");
    std::ofstream(backups / "Quorta.unrestored") << "type 13\n";
    fs::create_directories(drive / "Quorta");
    std::ofstream(drive / "Quorta" / "today.fit") << "ride two";
    r = runner.run(args({"--update"}), "n\nn\nok\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(has(r.out, "Detail: Latest software is installed on device\n")) << r.out;
    EXPECT_TRUE(has(
        r.out, "Files from your GPS are kept on this computer in " + (backups / "Quorta").string()))
        << r.out;
    EXPECT_EQ(readAll(backups / "Quorta" / "Rides" / "r1.fit"), "ride one");
    EXPECT_EQ(readAll(drive / "Quorta" / "today.fit"), "ride two");

    // Yes at the next start puts them back beside today's ride; nothing is
    // kept any more, and the run ends well.
    std::vector<std::string> updated = args({"--yes"});
    updated[std::find(updated.begin(), updated.end(), gps[0]) - updated.begin()] =
        "--simulate=13:jp:14.51";
    r = runner.run(updated);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(has(r.out, "Put them back now?"));
    EXPECT_EQ(readAll(drive / "Quorta" / "Rides" / "r1.fit"), "ride one");
    EXPECT_EQ(readAll(drive / "Quorta" / "user.cfg"), "settings");
    EXPECT_EQ(readAll(drive / "Quorta" / "today.fit"), "ride two");
    EXPECT_TRUE(markers(backups).empty());
}

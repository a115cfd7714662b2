// Backup of the GPS drive's Quorta folder and its restore: only a complete,
// checked copy lets the update go on, and a backup is kept until its restore
// was checked.
#include "core/Backup.h"

#include <gtest/gtest.h>

#include "DataTestSupport.h"

namespace {

namespace fs = std::filesystem;

using core::BackupOutcome;
using namespace testing_support;  // the data helpers

class BackupTest : public testing_support::DataTest {
  protected:
    void SetUp() override {
        DataTest::SetUp();
        quorta = driveFolder + "/Quorta";
        writeBytes(quorta + "/Settings.dat", binaryBytes(777, 1));
        writeBytes(quorta + "/Activities/2024-05-01.fit", binaryBytes(300000, 2));
        writeBytes(quorta + "/Activities/Old/2023-01-01.fit", binaryBytes(65, 3));
        writeBytes(quorta + "/Routes/empty.gpx", {});
    }

    BackupOutcome backup(int type = 13, int major = 12) {
        connect(type, major, 40, 60);
        BackupOutcome outcome = BackupOutcome::Made;
        made = core::saveGpsDataToLocal(core::deviceRecord().snapshot(), &outcome);
        return outcome;
    }

    bool flagsClear() { return !core::state().backupDone && !core::state().resetBeforeNordic; }
    bool sameTree(const std::string& a, const std::string& b) {
        return files.real.compareTrees(a, b, platform::TreeComparison::Identical).ok;
    }

    // The program ends with the backup held, and starts again with the GPS
    // (now on the new firmware) and its drive shown.
    void startAgain(int type = 13) {
        secondRun.reset();
        secondRun.emplace();
        services.window = &window;
        wireData();
        connect(type, 14, 51, 60);
        core::state().ishf = true;
    }
    int boxesAsked() {
        int n = 0;
        const std::string question = core::kHeldBackupQuestion;
        const std::string box = std::string("box ") + core::kHeldBackupCaption + ": " +
                                question.substr(0, question.find('\n') + 1);
        for (const std::string& call : window.calls) n += call.rfind(box, 0) == 0;
        return n;
    }
    std::string marker() { return backupDir() + core::kHeldMarkerSuffix; }

    std::string quorta;
    bool made = false;
    testing_support::RecordingWindow window;
    std::optional<core::ScopedContext> secondRun;  // the program started again
};

TEST_F(BackupTest, Type13Below13IsBackedUpBitForBitAndRestoredAfterTheReset) {
    ASSERT_EQ(backup(), BackupOutcome::Made);
    EXPECT_TRUE(made);
    EXPECT_TRUE(core::state().backupDone);
    EXPECT_TRUE(core::state().resetBeforeNordic);
    EXPECT_TRUE(logged("Save GPS Data To Local...DONE\r\n"));
    EXPECT_EQ(core::backupFolder(), backupDir());
    EXPECT_TRUE(sameTree(quorta, backupDir()));
    EXPECT_FALSE(fs::exists(backupDir() + ".partial"));

    // The factory reset empties the folder; the new firmware adds its own file.
    fs::remove_all(quorta);
    writeBytes(quorta + "/NewFirmware.cfg", {1});
    log.clear();
    ASSERT_TRUE(core::saveLocalDataToGps());
    EXPECT_EQ(logLines().front(), "Save Local Data To GPS...\r\n");
    EXPECT_TRUE(logged("Save Local Data To GPS...DONE\r\n"));
    EXPECT_EQ(waitsSoFar(), std::vector<int>{2});
    EXPECT_FALSE(core::state().backupDone);
    EXPECT_EQ(readBytes(quorta + "/Activities/2024-05-01.fit"), binaryBytes(300000, 2));
    EXPECT_EQ(readBytes(quorta + "/Activities/Old/2023-01-01.fit"), binaryBytes(65, 3));
    EXPECT_TRUE(fs::exists(quorta + "/Routes/empty.gpx"));
    EXPECT_TRUE(fs::exists(quorta + "/NewFirmware.cfg"));
    // The backup folder stays until the next backup replaces it.
    EXPECT_EQ(readBytes(backupDir() + "/Settings.dat"), binaryBytes(777, 1));
}

TEST_F(BackupTest, OtherModelsAndNewerVersionsNeedNoBackup) {
    EXPECT_EQ(backup(13, 13), BackupOutcome::Skipped);
    EXPECT_TRUE(logged("\r\nModel Backup Not Required - Major Rev High Enough\r\n"));
    EXPECT_EQ(backup(14, 2), BackupOutcome::Skipped);
    EXPECT_TRUE(logged("\r\nModel Backup Not Required\r\n"));
    EXPECT_FALSE(made);
    EXPECT_TRUE(flagsClear());
    EXPECT_FALSE(fs::exists(backupDir()));

    // A forced type wins over the record's.
    core::state().forcedDeviceType = 13;
    EXPECT_EQ(backup(14, 2), BackupOutcome::Made);
}

TEST_F(BackupTest, NoDriveNoModelAndASecondBackupAreSkipped) {
    core::state().setGpsDriveRoot("");
    EXPECT_EQ(backup(), BackupOutcome::Skipped);
    EXPECT_TRUE(statusWith("Can not find GPS USB drive"));
    EXPECT_FALSE(core::saveLocalDataToGps());  // nothing held: no wait either
    EXPECT_TRUE(waitsSoFar().empty());

    core::state().setGpsDriveRoot(driveRoot());
    EXPECT_EQ(backup(0, 12), BackupOutcome::Skipped);
    EXPECT_TRUE(statusWith("Error\nUnable to determine device model.", "Something went wrong"));

    ASSERT_EQ(backup(), BackupOutcome::Made);
    writeBytes(quorta + "/Settings.dat", {0});
    log.clear();
    EXPECT_EQ(backup(), BackupOutcome::Skipped);
    EXPECT_EQ(logLines(), std::vector<std::string>{"Save GPS Data To Local...\r\n"});
    EXPECT_EQ(readBytes(backupDir() + "/Settings.dat"), binaryBytes(777, 1));  // the first copy
}

TEST_F(BackupTest, AnIncompleteCopyStopsTheUpdateAndKeepsThePreviousBackup) {
    // An earlier backup is on the computer.
    ASSERT_EQ(backup(), BackupOutcome::Made);
    ASSERT_TRUE(core::saveLocalDataToGps());
    core::state().resetBeforeNordic = false;  // the factory reset was sent
    log.clear();

    // The computer's disk fills during the next copy.
    files.readOnlyRoot = backupDir() + ".partial";
    writeBytes(quorta + "/Settings.dat", binaryBytes(10, 7));
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_FALSE(made);
    EXPECT_TRUE(flagsClear());
    EXPECT_TRUE(statusWith(core::kBackupFailedTitle, core::kBackupFailedDetail));
    EXPECT_FALSE(logged("Save GPS Data To Local...DONE\r\n"));
    EXPECT_EQ(readBytes(backupDir() + "/Settings.dat"), binaryBytes(777, 1));

    // A copy that differs from the drive (a bad sector, a file changing
    // under it) is caught by the check and thrown away.
    files.readOnlyRoot.clear();
    files.afterCopyTree = [](const std::string& to) {
        std::vector<uint8_t> bytes = readBytes(to + "/Activities/2024-05-01.fit");
        bytes[123456] ^= 1;
        writeBytes(to + "/Activities/2024-05-01.fit", bytes);
    };
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_TRUE(flagsClear());
    EXPECT_TRUE(logged("Backup check: Activities/2024-05-01.fit: differs at byte 123456\r\n"));
    EXPECT_FALSE(fs::exists(backupDir() + ".partial"));
    EXPECT_EQ(readBytes(backupDir() + "/Settings.dat"), binaryBytes(777, 1));
}

TEST_F(BackupTest, NoQuortaFolderHasNothingToLoseButNoDriveOrTemporaryFolderFails) {
    // The update goes on with its factory reset; nothing is held to put back.
    fs::remove_all(quorta);
    EXPECT_EQ(backup(), BackupOutcome::NothingToSave);
    EXPECT_FALSE(made);
    EXPECT_FALSE(core::state().backupDone);
    EXPECT_TRUE(core::state().resetBeforeNordic);
    EXPECT_FALSE(statusWith(core::kBackupFailedTitle));
    EXPECT_FALSE(core::saveLocalDataToGps());
    EXPECT_FALSE(fs::exists(quorta));

    // A drive root that is not there at all is not known to be empty.
    core::state().resetBeforeNordic = false;
    core::state().setGpsDriveRoot(base.path() + "/unmounted/");
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_TRUE(flagsClear());

    core::state().setGpsDriveRoot(driveRoot());
    writeBytes(quorta + "/a", {1});
    core::Services s = core::services();
    s.paths = nullptr;
    core::setServices(s);
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_TRUE(flagsClear());
}

TEST_F(BackupTest, LinksPlantedAtTheBackupAreNeverFollowed) {
    const std::string victim = base.mkdir("victim");
    writeBytes(victim + "/precious.txt", {4, 2});

    // In place of the backup folder: refused, the update stops.
    fs::create_directories(paths->tempDir());
    fs::create_directory_symlink(victim, backupDir());
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_TRUE(flagsClear());
    EXPECT_EQ(readBytes(victim + "/precious.txt"), (std::vector<uint8_t>{4, 2}));
    EXPECT_TRUE(fs::is_symlink(backupDir()));

    // Inside an old backup: the link goes, what it points at stays.
    fs::remove(backupDir());
    writeBytes(backupDir() + "/old.fit", {1});
    fs::create_directory_symlink(victim, backupDir() + "/into-victim");
    ASSERT_EQ(backup(), BackupOutcome::Made);
    EXPECT_EQ(readBytes(victim + "/precious.txt"), (std::vector<uint8_t>{4, 2}));
    EXPECT_TRUE(sameTree(quorta, backupDir()));

    // A link on the drive's side is not copied, so the copy is incomplete.
    core::state().backupDone = false;
    fs::create_directory_symlink(victim, quorta + "/Activities/link");
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_FALSE(fs::exists(backupDir() + "/Activities/link"));
}

TEST_F(BackupTest, ARestoreThatFailsKeepsTheBackupForAnotherTry) {
    ASSERT_EQ(backup(), BackupOutcome::Made);
    fs::remove_all(quorta);

    files.readOnlyRoot = driveRoot();
    EXPECT_FALSE(core::saveLocalDataToGps());
    EXPECT_TRUE(core::state().backupDone);
    EXPECT_TRUE(statusEndingWith(core::kRestoreFailedTitle, "Your data is kept in " + backupDir()));
    EXPECT_FALSE(logged("Save Local Data To GPS...DONE\r\n"));
    EXPECT_TRUE(fs::exists(backupDir() + "/Activities/Old/2023-01-01.fit"));

    // A file the drive holds in another form is never replaced, and the
    // backup that holds the rider's form stays.
    files.readOnlyRoot.clear();
    writeBytes(quorta + "/Settings.dat", binaryBytes(777, 99));
    EXPECT_FALSE(core::saveLocalDataToGps());
    EXPECT_TRUE(core::state().backupDone);
    EXPECT_EQ(readBytes(quorta + "/Settings.dat"), binaryBytes(777, 99));
    fs::remove(quorta + "/Settings.dat");

    core::state().setGpsDriveRoot("");
    EXPECT_FALSE(core::saveLocalDataToGps());
    EXPECT_TRUE(statusWith("Can not find GPS USB drive"));
    EXPECT_TRUE(core::state().backupDone);

    core::state().setGpsDriveRoot(driveRoot());
    ASSERT_TRUE(core::saveLocalDataToGps());
    EXPECT_FALSE(core::state().backupDone);
    EXPECT_TRUE(sameTree(backupDir(), quorta));
}

TEST_F(BackupTest, TheUsersOpenTemporaryFolderIsMadePrivateAndARefusedOneIsExplained) {
    const std::string temp = base.path() + "/cache/quorta-updater";
    fs::create_directories(temp);
    ::chmod(temp.c_str(), 0755);
    ASSERT_EQ(backup(), BackupOutcome::Made);
    EXPECT_EQ(fs::status(temp).permissions() & fs::perms::all, fs::perms::owner_all);

    // A link in its place before the restore: the window says where the
    // data is and why it was not put back.
    const std::string moved = base.path() + "/moved";
    fs::rename(temp, moved);
    fs::create_directory_symlink(moved, temp);
    const std::string why = "Cannot use " + temp + ": it is a symbolic link.";
    EXPECT_FALSE(core::saveLocalDataToGps());
    EXPECT_TRUE(core::state().backupDone);
    EXPECT_TRUE(
        statusWith(core::kRestoreFailedTitle, "Your data is kept in " + temp + "/Quorta\n" + why));

    // And before a backup.
    core::state().backupDone = false;
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_TRUE(
        statusWith(core::kBackupFailedTitle, std::string(core::kBackupFailedDetail) + "\n" + why));
}

TEST_F(BackupTest, ABackupNeverPutBackIsOfferedAtTheNextStart) {
    ASSERT_EQ(backup(), BackupOutcome::Made);
    // The factory reset emptied the folder, the new firmware wrote its own
    // settings, and the program ended before the restore.
    fs::remove_all(quorta);
    writeBytes(quorta + "/Settings.dat", {9});

    startAgain(14);  // another model: not its files
    core::offerHeldBackup();
    EXPECT_EQ(boxesAsked(), 0);

    startAgain();
    window.answers = {core::BoxAnswer::No};
    core::offerHeldBackup();
    core::offerHeldBackup();  // No holds until the program starts again
    EXPECT_EQ(boxesAsked(), 1);
    EXPECT_FALSE(fs::exists(quorta + "/Activities"));
    EXPECT_TRUE(fs::exists(marker()));

    startAgain();
    window.answers = {core::BoxAnswer::Yes};
    core::offerHeldBackup();
    EXPECT_EQ(boxesAsked(), 2);
    EXPECT_EQ(readBytes(quorta + "/Settings.dat"), std::vector<uint8_t>{9});  // never replaced
    EXPECT_EQ(readBytes(quorta + "/Activities/2024-05-01.fit"), binaryBytes(300000, 2));
    EXPECT_EQ(readBytes(quorta + "/Activities/Old/2023-01-01.fit"), binaryBytes(65, 3));
    EXPECT_TRUE(fs::exists(quorta + "/Routes/empty.gpx"));
    // The rider's own Settings.dat is only in the backup: kept, and said where.
    EXPECT_TRUE(fs::exists(marker()));
    EXPECT_TRUE(statusWith("", core::heldFilesNotice()));
    EXPECT_NE(core::heldFilesNotice().find(backupDir()), std::string::npos);

    startAgain();  // offered again until every file is back
    fs::remove(quorta + "/Settings.dat");
    window.answers = {core::BoxAnswer::Yes};
    core::offerHeldBackup();
    EXPECT_EQ(boxesAsked(), 3);
    EXPECT_TRUE(sameTree(backupDir(), quorta));
    EXPECT_TRUE(statusWith("", core::kHeldBackupRestoredText));
    EXPECT_FALSE(fs::exists(marker()));
    EXPECT_EQ(core::heldFilesNotice(), "");

    startAgain();  // put back: not offered again
    core::offerHeldBackup();
    EXPECT_EQ(boxesAsked(), 3);
}

// A No to the question, then an update: the new backup goes beside the kept
// one, and Yes later puts back from both, oldest first, replacing nothing.
TEST_F(BackupTest, AKeptBackupIsNeverDestroyedByALaterOne) {
    ASSERT_EQ(backup(), BackupOutcome::Made);
    const std::vector<uint8_t> firstSettings = binaryBytes(777, 1);
    fs::remove_all(quorta);  // the factory reset; the program ended before the restore
    writeBytes(quorta + "/Today.fit", binaryBytes(40, 5));

    startAgain();
    window.answers = {core::BoxAnswer::No};
    core::offerHeldBackup();
    ASSERT_EQ(backup(), BackupOutcome::Made);
    const std::string second = backupDir() + "-2";
    EXPECT_TRUE(sameTree(quorta, second));
    EXPECT_EQ(readBytes(backupDir() + "/Settings.dat"), firstSettings);
    EXPECT_EQ(core::heldBackupFolders(), (std::vector<std::string>{backupDir(), second}));

    // This run's restore puts back its own backup; the earlier one stays kept.
    fs::remove_all(quorta);
    ASSERT_TRUE(core::saveLocalDataToGps());
    EXPECT_EQ(core::heldBackupFolders(), std::vector<std::string>{backupDir()});
    EXPECT_FALSE(fs::exists(quorta + "/Settings.dat"));

    startAgain();
    window.answers = {core::BoxAnswer::Yes};
    core::offerHeldBackup();
    EXPECT_EQ(readBytes(quorta + "/Settings.dat"), firstSettings);
    EXPECT_EQ(readBytes(quorta + "/Today.fit"), binaryBytes(40, 5));
    EXPECT_TRUE(core::heldBackupFolders().empty());
}

// A Quorta folder that cannot be looked at is not an empty one.
TEST_F(BackupTest, AFolderThatCannotBeLookedAtIsAFailedBackup) {
    files.unknownBelow = driveRoot();
    EXPECT_EQ(backup(), BackupOutcome::Failed);
    EXPECT_TRUE(flagsClear());
    EXPECT_TRUE(statusWith(core::kBackupFailedTitle, std::string(core::kBackupFailedDetail) +
                                                         "\ncannot look at " + quorta +
                                                         ": Permission denied"));
    EXPECT_TRUE(core::heldBackupFolders().empty());
}

TEST_F(BackupTest, ADriveThatGoesAwayWhileAHeldBackupIsPutBackKeepsIt) {
    ASSERT_EQ(backup(), BackupOutcome::Made);
    fs::remove_all(quorta);
    startAgain();
    const std::string away = base.path() + "/away";
    files.beforeCopyMissing = [&] { fs::rename(driveFolder, away); };
    window.answers = {core::BoxAnswer::Yes};
    core::offerHeldBackup();
    EXPECT_TRUE(statusWith(core::kRestoreFailedTitle, core::heldFilesNotice()));
    EXPECT_TRUE(fs::exists(marker()));
    EXPECT_EQ(readBytes(backupDir() + "/Activities/2024-05-01.fit"), binaryBytes(300000, 2));
    core::offerHeldBackup();  // not again while the drive has not come back
    EXPECT_EQ(boxesAsked(), 1);

    // Back at the next start, and put back whole.
    files.beforeCopyMissing = nullptr;
    fs::rename(away, driveFolder);
    startAgain();
    window.answers = {core::BoxAnswer::Yes};
    core::offerHeldBackup();
    EXPECT_EQ(boxesAsked(), 2);
    EXPECT_TRUE(sameTree(backupDir(), quorta));
    EXPECT_FALSE(fs::exists(marker()));
}

}  // namespace

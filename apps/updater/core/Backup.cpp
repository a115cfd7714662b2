#include "core/Backup.h"

#include <exception>

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdaterState.h"
#include "platform/Files.h"

namespace core {

namespace {

constexpr int kBackupModel = 13;
constexpr int kBackupBelowMajor = 13;
constexpr const char* kFolderName = "Quorta";
// The copy is made here first and only takes the backup's name once it was
// checked, so a failed copy never costs the backup that was there before.
constexpr const char* kPartialSuffix = ".partial";

void logTreeResult(const char* what, const platform::TreeResult& result) {
    for (const std::string& entry : result.skipped)
        logLinef("%s: not followed or copied: %s\r\n", what, entry.c_str());
    for (const std::string& difference : result.differences)
        logLinef("%s: %s\r\n", what, difference.c_str());
    if (!result.ok && !result.error.empty()) logLinef("%s: %s\r\n", what, result.error.c_str());
}

// Copies the drive's Quorta folder into the backup folder and checks every
// file and byte of it; the reason in `problem` when it could not be done.
bool makeBackup(const std::string& source, const std::string& folder, std::string& problem) {
    platform::Files* files = services().files;
    if (!files) {
        problem = "no file access available";
        return false;
    }
    if (folder.empty()) {
        problem = "no private temporary folder can be had";
        return false;
    }
    if (!files->isFolder(source)) {
        problem = "no Quorta folder on the GPS drive at " + source;
        return false;
    }
    const std::string partial = folder + kPartialSuffix;
    platform::TreeResult cleared = files->deleteTree(partial);
    logTreeResult("Backup", cleared);
    if (!cleared.ok) {
        problem = cleared.error;
        return false;
    }
    platform::TreeResult copied = files->copyTree(source, partial);
    logTreeResult("Backup", copied);
    bool ok = copied.ok;
    if (ok) {
        platform::TreeResult checked =
            files->compareTrees(source, partial, platform::TreeComparison::Identical);
        logTreeResult("Backup check", checked);
        ok = checked.ok;
        if (ok) {
            logLinef("Backup checked: %llu files, %llu bytes\r\n",
                     static_cast<unsigned long long>(checked.files),
                     static_cast<unsigned long long>(checked.bytes));
        } else {
            problem = checked.error;
        }
    } else {
        problem = copied.error;
    }
    if (ok) {
        platform::TreeResult old = files->deleteTree(folder);
        logTreeResult("Backup", old);
        ok = old.ok && files->renameFolder(partial, folder, &problem);
        if (!old.ok) problem = old.error;
    }
    if (!ok) files->deleteTree(partial);
    return ok;
}

bool runBackup(const DeviceRecord& record, BackupOutcome& outcome) {
    UpdaterState& st = state();
    logLine("Save GPS Data To Local...\r\n");
    const std::string root = st.gpsDriveRoot();
    if (root.empty()) {
        sendStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    if (st.backupDone) return false;
    logLine("Determining Model\r\n");
    const int forced = st.forcedDeviceType;
    const int type = forced > 0 ? forced : record.deviceType;
    if (type <= 0) {
        sendStatus(1, "Error\nUnable to determine device model.", "Something went wrong");
        return false;
    }
    if (type != kBackupModel) {
        logLine("\r\nModel Backup Not Required\r\n");
        return false;
    }
    if (record.versionMajor >= kBackupBelowMajor) {
        logLine("\r\nModel Backup Not Required - Major Rev High Enough\r\n");
        return false;
    }

    // The factory reset that follows this update empties the drive's Quorta
    // folder, so the update may only go on with a complete, checked copy.
    std::string problem;
    if (!makeBackup(root + kFolderName, backupFolder(), problem)) {
        logLinef("Save GPS Data To Local...FAILED: %s\r\n", problem.c_str());
        sendStatus(1, kBackupFailedTitle, kBackupFailedDetail);
        outcome = BackupOutcome::Failed;
        return false;
    }
    st.resetBeforeNordic = true;
    st.backupDone = true;
    outcome = BackupOutcome::Made;
    logLine("Save GPS Data To Local...DONE\r\n");
    return true;
}

// Copies the backup back into the drive's Quorta folder and checks that
// every file of the backup arrived whole.
bool restoreBackup(const std::string& folder, const std::string& target, std::string& problem) {
    platform::Files* files = services().files;
    if (!files) {
        problem = "no file access available";
        return false;
    }
    if (folder.empty() || !files->isFolder(folder)) {
        problem = "the backup folder " + folder + " is not there";
        return false;
    }
    platform::TreeResult copied = files->copyTree(folder, target);
    logTreeResult("Restore", copied);
    if (!copied.ok) {
        problem = copied.error;
        return false;
    }
    platform::TreeResult checked =
        files->compareTrees(folder, target, platform::TreeComparison::Contained);
    logTreeResult("Restore check", checked);
    if (!checked.ok) {
        problem = checked.error;
        return false;
    }
    logLinef("Restore checked: %llu files, %llu bytes\r\n",
             static_cast<unsigned long long>(checked.files),
             static_cast<unsigned long long>(checked.bytes));
    return true;
}

bool runRestore() {
    UpdaterState& st = state();
    logLine("Save Local Data To GPS...\r\n");
    if (!st.backupDone) return false;
    waitSeconds(2);
    const std::string root = st.gpsDriveRoot();
    if (root.empty()) {
        sendStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    const std::string folder = backupFolder();
    std::string problem;
    if (!restoreBackup(folder, root + kFolderName, problem)) {
        // The backup stays held and in place for another try.
        logLinef("Save Local Data To GPS...FAILED: %s\r\n", problem.c_str());
        const std::string detail = "Your data is kept in " + folder;
        sendStatus(1, kRestoreFailedTitle, detail.c_str());
        return false;
    }
    st.backupDone = false;
    logLine("Save Local Data To GPS...DONE\r\n");
    return true;
}

}  // namespace

std::string backupFolder() {
    platform::Paths* paths = services().paths;
    if (!paths) return "";
    const std::string temp = paths->tempDir();
    if (temp.empty()) return "";
    return temp + kFolderName;
}

bool saveGpsDataToLocal(const DeviceRecord& record, BackupOutcome* outcome) {
    BackupOutcome result = BackupOutcome::Skipped;
    bool made = false;
    try {
        made = runBackup(record, result);
    } catch (const std::exception& e) {
        // Nothing is known to be safe: the update must not go on.
        logLinef("Save GPS Data To Local...FAILED: %s\r\n", e.what());
        result = BackupOutcome::Failed;
        sendStatus(1, kBackupFailedTitle, kBackupFailedDetail);
    }
    if (outcome) *outcome = result;
    return made;
}

bool saveLocalDataToGps() {
    try {
        return runRestore();
    } catch (const std::exception& e) {
        logLinef("Save Local Data To GPS...FAILED: %s\r\n", e.what());
        return false;
    }
}

}  // namespace core

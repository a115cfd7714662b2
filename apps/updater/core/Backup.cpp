#include "core/Backup.h"

#include <charconv>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>

#include "core/GpsDrive.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdaterState.h"
#include "core/Window.h"
#include "platform/Files.h"

namespace core {

namespace {

constexpr int kBackupModel = 13;
constexpr int kBackupBelowMajor = 13;
constexpr const char* kFolderName = "Quorta";
// The copy is made here first and only takes the backup's name once it was
// checked, so a failed copy never costs the backup that was there before.
constexpr const char* kPartialSuffix = ".partial";
// The marker's whole content: "type 13\n".
constexpr size_t kMarkerMaxBytes = 32;

// The folder the backup held in this run was made in, for the status text
// when the temporary folder cannot be had again at the restore.
std::mutex gHeldFolderMutex;
std::string gHeldFolder;

void rememberHeldFolder(const std::string& folder) {
    std::lock_guard lock(gHeldFolderMutex);
    gHeldFolder = folder;
}

std::string heldFolder() {
    std::lock_guard lock(gHeldFolderMutex);
    return gHeldFolder;
}

// The lines given, one below the other; empty ones left out.
std::string linesOf(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        if (!text.empty()) text += "\n";
        text += line;
    }
    return text;
}

// Where the data is, and never the sentence without a folder.
std::string keptInText(const std::string& folder) {
    return folder.empty() ? "" : "Your data is kept in " + folder;
}

int typeOfBackup(const DeviceRecord& record) {
    const int forced = state().forcedDeviceType;
    return forced > 0 ? forced : record.deviceType;
}

// Written once the backup is complete, so that a later run finds a backup
// that was never put back. A marker cut short by a crash still marks the
// backup; only the model it names is then unknown.
void writeHeldMarker(platform::Files& files, const std::string& folder, int type) {
    const std::string marker = folder + kHeldMarkerSuffix;
    const std::string content = formatText("type %d\n", type);
    std::string problem;
    std::unique_ptr<platform::WritableFile> file = files.createFile(marker, &problem);
    bool ok = file != nullptr;
    if (ok) {
        ok = file->write(reinterpret_cast<const uint8_t*>(content.data()), content.size()) ==
                 content.size() &&
             file->close();
        if (!ok) problem = file->error();
    }
    // The backup itself is whole: only a later run would not know of it.
    if (!ok)
        logLinef("Backup: the marker %s could not be written: %s\r\n", marker.c_str(),
                 problem.c_str());
}

void removeHeldMarker(const std::string& folder) {
    platform::Files* files = services().files;
    const std::string marker = folder + kHeldMarkerSuffix;
    std::string problem;
    if (files && !files->deleteFile(marker, &problem)) {
        // The next run offers it once more; putting back only what is
        // missing then changes nothing.
        logLinef("Restore: the marker %s could not be removed: %s\r\n", marker.c_str(),
                 problem.c_str());
    }
}

// The model the marker names; 0 when it names none that can be read.
int heldMarkerType(platform::Files& files, const std::string& marker) {
    std::string content;
    if (!files.readFile(marker, kMarkerMaxBytes, content, nullptr)) return 0;
    constexpr std::string_view prefix = "type ";
    if (content.size() <= prefix.size() + 1 || content.rfind(prefix, 0) != 0 ||
        content.back() != '\n') {
        return 0;
    }
    int type = 0;
    const char* first = content.data() + prefix.size();
    const char* last = content.data() + content.size() - 1;
    const auto [end, err] = std::from_chars(first, last, type);
    return err == std::errc() && end == last && type > 0 ? type : 0;
}

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
        if (problem.empty()) problem = "no private temporary folder can be had";
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
    const std::string root = currentGpsDriveRoot();
    if (root.empty()) {
        sendStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    if (st.backupDone) return false;
    logLine("Determining Model\r\n");
    const int type = typeOfBackup(record);
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

    // A drive that is there but has no Quorta folder has nothing to lose;
    // the factory reset is still part of this update. (A drive that is not
    // there at all is not known to be empty.)
    platform::Files* files = services().files;
    const std::string source = root + kFolderName;
    if (files && files->isFolder(root) && !files->exists(source)) {
        logLine("Save GPS Data To Local...NOTHING TO SAVE: the GPS drive has no Quorta folder\r\n");
        st.resetBeforeNordic = true;
        outcome = BackupOutcome::NothingToSave;
        return false;
    }

    // The factory reset that follows this update empties the drive's Quorta
    // folder, so the update may only go on with a complete, checked copy.
    std::string folderProblem;
    const std::string folder = backupFolder(&folderProblem);
    std::string problem = folderProblem;
    if (!makeBackup(source, folder, problem)) {
        logLinef("Save GPS Data To Local...FAILED: %s\r\n", problem.c_str());
        // A temporary folder that was refused says why in the window.
        const std::string detail = linesOf({kBackupFailedDetail, folderProblem});
        sendStatus(1, kBackupFailedTitle, detail.c_str());
        outcome = BackupOutcome::Failed;
        return false;
    }
    rememberHeldFolder(folder);
    writeHeldMarker(*files, folder, type);
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
    if (folder.empty()) return false;  // `problem` says why
    if (!files->isFolder(folder)) {
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
    const std::string root = currentGpsDriveRoot();
    if (root.empty()) {
        sendStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    std::string folderProblem;
    const std::string folder = backupFolder(&folderProblem);
    std::string problem = folderProblem;
    if (!restoreBackup(folder, root + kFolderName, problem)) {
        // The backup stays held and in place for another try.
        logLinef("Save Local Data To GPS...FAILED: %s\r\n", problem.c_str());
        const std::string detail =
            linesOf({keptInText(folder.empty() ? heldFolder() : folder), folderProblem});
        sendStatus(1, kRestoreFailedTitle, detail.c_str());
        return false;
    }
    st.backupDone = false;
    removeHeldMarker(folder);
    logLine("Save Local Data To GPS...DONE\r\n");
    return true;
}

}  // namespace

std::string backupFolder(std::string* problem) {
    platform::Paths* paths = services().paths;
    if (!paths) {
        if (problem) *problem = "No folder for the backup is set up.";
        return "";
    }
    const std::string temp = paths->tempDir(problem);
    if (temp.empty()) return "";
    return temp + kFolderName;
}

void offerHeldBackup() {
    UpdaterState& st = state();
    // Only for a GPS that is shown with its drive while nothing else runs,
    // and never for the backup this run holds itself.
    if (!st.ishf || st.heldBackupDeclined || st.heldBackupFailed || st.backupDone ||
        st.resetBeforeNordic || st.updateInProgress || st.updateThreadActive || st.reverseUpgrade ||
        st.factoryResetPending || st.languagePackBusy || st.keysErased || st.recoveryDialogOpen) {
        return;
    }
    const std::string root = st.gpsDriveRoot();
    platform::Files* files = services().files;
    Window* window = services().window;
    if (root.empty() || !files || !window) return;
    const std::string folder = backupFolder();
    if (folder.empty()) return;  // standard error has said why
    const std::string marker = folder + kHeldMarkerSuffix;
    if (!files->exists(marker)) return;
    if (!files->isFolder(folder)) {
        logLinef("Held backup: %s is marked but not there\r\n", folder.c_str());
        return;
    }
    SharedDeviceRecord* shared = reportCallbacks().currentDevice.load();
    const int heldType = heldMarkerType(*files, marker);
    // Another model's files are not offered to this one.
    if (heldType > 0 && (!shared || typeOfBackup(shared->snapshot()) != heldType)) return;

    logLinef("Held backup found: %s was never put back\r\n", folder.c_str());
    if (window->messageBox(kHeldBackupQuestion, kHeldBackupCaption, BoxButtons::YesNo,
                           BoxIcon::Question) != BoxAnswer::Yes) {
        st.heldBackupDeclined = true;
        logLine("Held backup: kept, not put back\r\n");
        return;
    }

    logLine("Put Back Held Backup...\r\n");
    sendStatus(0, nullptr, kRestoringDataText);
    window->showControl(Control::ProgressBar, true);
    platform::TreeResult result;
    try {
        result = files->copyMissing(folder, root + kFolderName);
    } catch (const std::exception& e) {
        result.ok = false;
        result.error = e.what();
    }
    window->showControl(Control::ProgressBar, false);
    for (const std::string& entry : result.kept)
        logLinef("Restore: left as it is on the GPS: %s\r\n", entry.c_str());
    logTreeResult("Restore", result);
    if (!result.ok) {
        // A drive that went away part way: what was copied is whole, the
        // backup and its marker stay for the next time the drive is shown.
        st.heldBackupFailed = true;
        logLinef("Put Back Held Backup...FAILED: %s\r\n", result.error.c_str());
        sendStatus(0, kRestoreFailedTitle, keptInText(folder).c_str());
        return;
    }
    removeHeldMarker(folder);
    logLinef("Put Back Held Backup...DONE: %llu files put back, %zu left as they were\r\n",
             static_cast<unsigned long long>(result.files), result.kept.size());
    sendStatus(0, nullptr, kHeldBackupRestoredText);
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

#include "core/Backup.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "core/Context.h"
#include "core/DriveWriteCheck.h"
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
// The marker's whole content (see writeHeldMarker) fits well within this.
constexpr size_t kMarkerMaxBytes = 512;

void rememberHeldFolder(const std::string& folder) {
    state().setHeldBackupFolder(folder);
}

std::string heldFolder() {
    return state().heldBackupFolder();
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

// Backups of runs whose files were never put back stay beside each other:
// "Quorta", "Quorta-2", "Quorta-3" ... in the temporary folder.
constexpr int kMaxBackups = 99;

std::string slotFolder(const std::string& first, int slot) {
    return slot == 1 ? first : first + "-" + std::to_string(slot);
}

// The marker's lines: "type 13", "made <seconds since 1970>", "model <name>",
// "version <major>.<minor>", "files <n>", "bytes <n>".
struct MarkerInfo {
    int type = 0;  // 0: unknown (a marker cut short still marks its backup)
    long long made = 0;
    std::string model, version;
    unsigned long long files = 0;
    bool known = false;  // the marker could be read whole
};

std::string markerField(const std::string& content, std::string_view key) {
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos) break;  // a line cut short says nothing
        const std::string_view line(content.data() + at, end - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == ' ') {
            return std::string(line.substr(key.size() + 1));
        }
        at = end + 1;
    }
    return "";
}

template <typename T>
T numberOf(const std::string& text) {
    T value{};
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    return err == std::errc() && end == text.data() + text.size() ? value : T{};
}

MarkerInfo readMarker(platform::Files& files, const std::string& marker) {
    MarkerInfo info;
    std::string content;
    if (!files.readFile(marker, kMarkerMaxBytes, content, nullptr)) return info;
    info.type = std::max(0, numberOf<int>(markerField(content, "type")));
    info.made = numberOf<long long>(markerField(content, "made"));
    info.model = markerField(content, "model");
    info.version = markerField(content, "version");
    info.files = numberOf<unsigned long long>(markerField(content, "files"));
    info.known = info.type > 0 && info.made > 0 && !info.model.empty();
    return info;
}

// Written last, once the backup is complete and checked: only a marked
// backup counts as kept, and only a kept backup lets the update go on.
bool writeHeldMarker(platform::Files& files, const std::string& folder, int type,
                     const DeviceRecord& record, const platform::TreeResult& checked,
                     std::string& problem) {
    const std::string marker = folder + kHeldMarkerSuffix;
    const std::string content = formatText(
        "type %d\nmade %lld\nmodel %.40s\nversion %d.%02d\nfiles %llu\nbytes %llu\n", type,
        static_cast<long long>(std::time(nullptr)), record.modelName.c_str(), record.versionMajor,
        record.versionMinor, static_cast<unsigned long long>(checked.files),
        static_cast<unsigned long long>(checked.bytes));
    std::unique_ptr<platform::WritableFile> file = files.createFile(marker, &problem);
    bool ok = file != nullptr;
    if (ok) {
        ok = file->write(reinterpret_cast<const uint8_t*>(content.data()), content.size()) ==
                 content.size() &&
             file->close();
        if (!ok) problem = file->error();
    }
    if (!ok) {
        problem = "the marker " + marker + " could not be written: " + problem;
        files.deleteFile(marker, nullptr);
    }
    return ok;
}

bool removeHeldMarker(const std::string& folder) {
    platform::Files* files = services().files;
    const std::string marker = folder + kHeldMarkerSuffix;
    std::string problem;
    if (files && !files->deleteFile(marker, &problem)) {
        // The next run offers it once more; putting back only what is
        // missing then changes nothing.
        logLinef("Restore: the marker %s could not be removed: %s\r\n", marker.c_str(),
                 problem.c_str());
        return false;
    }
    return true;
}

struct HeldBackup {
    std::string folder;
    MarkerInfo info;
    int slot = 0;
};

// Every marked backup, oldest first (a marker that cannot be read first).
std::vector<HeldBackup> heldBackupList(platform::Files& files, const std::string& first) {
    std::vector<HeldBackup> held;
    if (first.empty()) return held;
    for (int slot = 1; slot <= kMaxBackups; ++slot) {
        const std::string folder = slotFolder(first, slot);
        if (!files.exists(folder + kHeldMarkerSuffix)) continue;
        held.push_back({folder, readMarker(files, folder + kHeldMarkerSuffix), slot});
    }
    std::stable_sort(held.begin(), held.end(), [](const HeldBackup& a, const HeldBackup& b) {
        return a.info.made < b.info.made;
    });
    return held;
}

// One line of the question for a held backup.
std::string describeHeld(const HeldBackup& held) {
    if (!held.info.known) return "  saved in " + held.folder;
    char when[32] = "";
    const std::time_t made = static_cast<std::time_t>(held.info.made);
    std::tm local{};
    if (localtime_r(&made, &local)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
    return formatText("  %s, from %.40s %.12s: %llu files", when, held.info.model.c_str(),
                      held.info.version.c_str(), held.info.files);
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
bool makeBackup(const std::string& source, const std::string& folder, std::string& problem,
                platform::TreeResult& checked) {
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
        checked = files->compareTrees(source, partial, platform::TreeComparison::Identical);
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
        // What is there under this name has no marker: its files were put
        // back, or it never became a kept backup.
        platform::TreeResult old = files->deleteTree(folder);
        logTreeResult("Backup", old);
        ok = old.ok && files->renameFolder(partial, folder, &problem);
        if (!old.ok) problem = old.error;
    }
    if (!ok) files->deleteTree(partial);
    return ok;
}

// The first backup folder that holds no kept backup; empty when all do.
std::string freeBackupFolder(platform::Files& files, const std::string& first,
                             std::string& problem) {
    for (int slot = 1; slot <= kMaxBackups; ++slot) {
        const std::string folder = slotFolder(first, slot);
        const std::string marker = folder + kHeldMarkerSuffix;
        const platform::Presence there = files.presence(marker, &problem);
        if (there == platform::Presence::Absent) return folder;
        if (there == platform::Presence::Unknown) return "";
    }
    problem = formatText("%d earlier backups were never put back", kMaxBackups);
    return "";
}

bool runBackup(const DeviceRecord& record, BackupOutcome& outcome) {
    UpdaterState& st = state();
    logLine("Save GPS Data To Local...\r\n");
    setUpdatePhase(UpdatePhase::BackingUp);
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
    // The factory reset that follows empties the drive for the restore to
    // fill again: a drive that takes no file stops the update here.
    if (!checkDriveWritable(root)) {
        outcome = BackupOutcome::Failed;
        return false;
    }

    // A drive that is there but has no Quorta folder has nothing to lose;
    // the factory reset is still part of this update. A drive that is not
    // there, or a folder that cannot be looked at, is not known to be empty.
    platform::Files* files = services().files;
    const std::string source = root + kFolderName;
    std::string lookProblem;
    if (files && files->isFolder(root) &&
        files->presence(source, &lookProblem) == platform::Presence::Absent) {
        logLine("Save GPS Data To Local...NOTHING TO SAVE: the GPS drive has no Quorta folder\r\n");
        st.resetBeforeNordic = true;
        outcome = BackupOutcome::NothingToSave;
        return false;
    }

    // The factory reset that follows this update empties the drive's Quorta
    // folder, so the update may only go on with a complete, checked copy.
    // A backup of an earlier run that was never put back is kept beside it.
    std::string folderProblem;
    const std::string first = backupFolder(&folderProblem);
    std::string problem = folderProblem;
    std::string folder;
    if (files && !first.empty()) {
        folder = freeBackupFolder(*files, first, problem);
        if (folder.empty()) folderProblem = problem;
    }
    platform::TreeResult checked;
    bool ok = !lookProblem.empty() ? (problem = lookProblem, false)
                                   : makeBackup(source, folder, problem, checked);
    if (ok) ok = writeHeldMarker(*files, folder, type, record, checked, problem);
    if (!ok) {
        logLinef("Save GPS Data To Local...FAILED: %s\r\n", problem.c_str());
        // The reason is shown where the rider can act on it: a folder that
        // was refused, on the computer or on the drive.
        const std::string detail =
            linesOf({kBackupFailedDetail, lookProblem.empty() ? folderProblem : lookProblem});
        sendStatus(1, kBackupFailedTitle, detail.c_str());
        outcome = BackupOutcome::Failed;
        return false;
    }
    rememberHeldFolder(folder);
    st.resetBeforeNordic = true;
    st.backupDone = true;
    outcome = BackupOutcome::Made;
    logLine("Save GPS Data To Local...DONE\r\n");
    setUpdatePhase(UpdatePhase::BackedUp);
    return true;
}

// Puts back what the drive's Quorta folder lacks of a backup, never
// replacing a file there, and checks that every file of the backup is then
// on the drive, byte for byte. `differ` lists the backup's files that the
// drive holds in another form (left as they are; the backup keeps them).
bool putBack(const std::string& folder, const std::string& target, std::string& problem,
             std::vector<std::string>& differ, const char* what) {
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
    platform::TreeResult copied = files->copyMissing(folder, target);
    for (const std::string& entry : copied.kept)
        logLinef("%s: left as it is on the GPS: %s\r\n", what, entry.c_str());
    logTreeResult(what, copied);
    if (!copied.ok) {
        problem = copied.error;
        return false;
    }
    platform::TreeResult checked =
        files->compareTrees(folder, target, platform::TreeComparison::Contained);
    logTreeResult("Restore check", checked);
    if (!checked.ok) {
        problem = checked.error;
        differ = checked.differences;
        if (differ.empty()) differ.push_back(checked.error);
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
    setUpdatePhase(UpdatePhase::Restoring);
    if (!st.backupDone) return false;
    waitSeconds(2);
    const std::string root = currentGpsDriveRoot();
    if (root.empty()) {
        sendStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    std::string folderProblem;
    backupFolder(&folderProblem);  // says why a refused temporary folder cannot be used
    const std::string folder = folderProblem.empty() ? heldFolder() : std::string();
    if (!checkDriveWritable(root, kRestoreFailedTitle, keptInText(heldFolder()))) return false;
    std::string problem = folderProblem;
    std::vector<std::string> differ;
    if (!putBack(folder, root + kFolderName, problem, differ, "Restore")) {
        // The backup stays held and in place for another try.
        logLinef("Save Local Data To GPS...FAILED: %s\r\n", problem.c_str());
        const std::string detail = linesOf({keptInText(heldFolder()), folderProblem});
        sendStatus(1, kRestoreFailedTitle, detail.c_str());
        return false;
    }
    st.backupDone = false;
    removeHeldMarker(folder);
    logLine("Save Local Data To GPS...DONE\r\n");
    setUpdatePhase(UpdatePhase::Restored);
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
    if (!st.ishf || st.startUpQuestionOpen || st.heldBackupDeclined || st.heldBackupFailed ||
        st.backupDone || st.resetBeforeNordic || st.updateInProgress || st.updateThreadActive ||
        st.reverseUpgrade || st.factoryResetPending || st.languagePackBusy || st.keysErased ||
        st.recoveryDialogOpen) {
        return;
    }
    const std::string root = st.gpsDriveRoot();
    platform::Files* files = services().files;
    Window* window = services().window;
    if (root.empty() || !files || !window) return;
    const std::string first = backupFolder();
    if (first.empty()) return;  // standard error has said why
    SharedDeviceRecord* shared = reportCallbacks().currentDevice.load();
    std::vector<HeldBackup> offered;
    for (HeldBackup& held : heldBackupList(*files, first)) {
        if (!files->isFolder(held.folder)) {
            logLinef("Held backup: %s is marked but not there\r\n", held.folder.c_str());
            continue;
        }
        // Another model's files are not offered to this one.
        if (held.info.type > 0 && (!shared || typeOfBackup(shared->snapshot()) != held.info.type))
            continue;
        logLinef("Held backup found: %s was never put back\r\n", held.folder.c_str());
        offered.push_back(std::move(held));
    }
    if (offered.empty()) return;

    std::string question = kHeldBackupQuestion;
    std::string list;
    for (const HeldBackup& held : offered) list += describeHeld(held) + "\n";
    question.insert(question.find("\n\n") + 1, list);
    st.startUpQuestionOpen = true;
    const BoxAnswer answer =
        window->messageBox(question, kHeldBackupCaption, BoxButtons::YesNo, BoxIcon::Question);
    st.startUpQuestionOpen = false;
    if (answer != BoxAnswer::Yes) {
        st.heldBackupDeclined = true;
        logLine("Held backup: kept, not put back\r\n");
        sendStatus(0, nullptr, heldFilesNotice().c_str());
        return;
    }

    logLine("Put Back Held Backup...\r\n");
    setUpdatePhase(UpdatePhase::PuttingBackHeld);
    if (!checkDriveWritable(root, kRestoreFailedTitle, heldFilesNotice())) {
        st.heldBackupFailed = true;
        return;
    }
    sendStatus(0, nullptr, kRestoringDataText);
    window->showControl(Control::ProgressBar, true);
    std::vector<std::string> keptIn;
    bool failed = false;
    // Oldest first: a file two backups hold goes back as it was first saved
    // (the later backup keeps its own form where the two differ).
    for (const HeldBackup& held : offered) {
        std::string problem;
        std::vector<std::string> differ;
        bool ok = false;
        try {
            ok = putBack(held.folder, root + kFolderName, problem, differ, "Restore");
        } catch (const std::exception& e) {
            problem = e.what();
        }
        if (ok) {
            if (!removeHeldMarker(held.folder)) keptIn.push_back(held.folder);
            logLinef("Put Back Held Backup...DONE: %s\r\n", held.folder.c_str());
            continue;
        }
        keptIn.push_back(held.folder);
        if (!differ.empty()) {
            // Files the GPS holds in another form are never replaced: the
            // saved form stays kept.
            logLinef("Put Back Held Backup...KEPT: %s: %zu files differ from the GPS's\r\n",
                     held.folder.c_str(), differ.size());
            continue;
        }
        // A drive that went away part way: what was copied is whole, the
        // backup and its marker stay for the next time the drive is shown.
        failed = true;
        logLinef("Put Back Held Backup...FAILED: %s\r\n", problem.c_str());
        break;
    }
    window->showControl(Control::ProgressBar, false);
    if (failed) {
        st.heldBackupFailed = true;
        sendStatus(0, kRestoreFailedTitle, heldFilesNotice().c_str());
        return;
    }
    st.heldBackupPutBack = keptIn.empty();
    sendStatus(0, nullptr, keptIn.empty() ? kHeldBackupRestoredText : heldFilesNotice().c_str());
}

bool letGoOfBackupStillOnGps() {
    UpdaterState& st = state();
    if (!st.backupDone) return true;
    const std::string root = st.gpsDriveRoot();
    const std::string folder = heldFolder();
    std::string problem;
    std::vector<std::string> differ;
    bool ok = false;
    try {
        ok = !root.empty() && putBack(folder, root + kFolderName, problem, differ, "Restore");
    } catch (const std::exception& e) {
        problem = e.what();
    }
    if (!ok) {
        logLinef("Backup kept: %s\r\n", problem.c_str());
        return false;
    }
    removeHeldMarker(folder);
    st.backupDone = false;
    return true;
}

std::vector<std::string> heldBackupFolders() {
    std::vector<std::string> folders;
    platform::Files* files = services().files;
    const std::string first = backupFolder();
    if (!files || first.empty()) return folders;
    for (const HeldBackup& held : heldBackupList(*files, first)) folders.push_back(held.folder);
    return folders;
}

std::string heldFilesNotice() {
    const std::vector<std::string> folders = heldBackupFolders();
    if (folders.empty()) return "";
    std::string text = "Files from your GPS are kept on this computer in " + folders.front();
    for (size_t i = 1; i < folders.size(); ++i)
        text += (i + 1 == folders.size() ? " and " : ", ") + folders[i];
    text += ".\nConnect the GPS and start the updater again, then answer Yes to put them back.";
    return text;
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

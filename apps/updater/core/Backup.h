// Backup of the GPS drive's Quorta folder before a main firmware update that
// is followed by a factory reset (type 13 below major version 13), and its
// restore once the device runs the new firmware.
//
// A backup only counts when its copy was compared with the drive, file by
// file and byte by byte; a backup that could not be made completely leaves
// both flags clear and must stop the update before the device is sent into
// its bootloader, because the factory reset that would follow wipes the
// drive. A drive without a Quorta folder has nothing to lose: the update goes
// on with nothing held. A backup is only let go of after its restore was
// verified.
//
// A backup also outlives the program: a marker beside it says it was never
// put back (the program closed, crashed or lost power between the factory
// reset and the restore), and the next run offers to put it back.
#pragma once

#include <string>
#include <vector>

#include "core/DeviceRecord.h"

namespace core {

enum class BackupOutcome {
    Made,           // copied and verified; backupDone and resetBeforeNordic are set
    Skipped,        // nothing to do (other model, new enough, a backup already held,
                    // no drive, no model); the update goes on as before
    NothingToSave,  // the drive has no Quorta folder: nothing is held, the
                    // factory reset is still owed (resetBeforeNordic set)
    Failed,         // needed but could not be made completely: the flags are clear,
                    // the status "nothing was changed" is already shown, and the
                    // caller must end the update before JUMP_TO_BL
};

// True when a backup was made. `outcome`, when given, tells a skipped backup
// from a failed one.
bool saveGpsDataToLocal(const DeviceRecord& record, BackupOutcome* outcome = nullptr);

// Copies the held backup back into the drive's Quorta folder and checks it.
// True when the restore ran and was verified (backupDone is then cleared);
// false when there was nothing to restore, no drive, or the restore could not
// be verified, in which case backupDone stays set, the backup stays where it
// is and the status says where.
bool saveLocalDataToGps();

// "<temporary folder>Quorta"; empty when the temporary folder cannot be had,
// with the reason in `problem`.
std::string backupFolder(std::string* problem = nullptr);

// The marker beside a backup that was never put back: "<folder>.unrestored".
// Backups of several runs stay beside each other: backupFolder(), then
// "<backupFolder()>-2", "-3" ...
inline constexpr const char* kHeldMarkerSuffix = ".unrestored";

// On the window thread, once a GPS with its drive is shown and nothing else
// is going on: when backups of earlier runs were never put back (and are of
// this model), asks whether to put them back, naming each (when, from which
// GPS, how many files). Yes copies back, oldest first, only what the drive
// lacks, never replacing a file that is there; a backup is let go of only
// once every one of its files is on the drive. No leaves them for the next
// start of the program.
void offerHeldBackup();

// After an update that did not reach the GPS: when every file of this run's
// backup is still on the GPS, byte for byte, the backup is let go of
// (backupDone cleared, its marker removed) and true returned; otherwise it
// stays kept. Puts back what the drive lacks, never replacing a file.
bool letGoOfBackupStillOnGps();

// The folders of every kept backup (marked, never put back), oldest first.
std::vector<std::string> heldBackupFolders();

// What the rider must know when files are kept only on this computer: the
// folders and how to get them back. Empty when no backup is kept.
std::string heldFilesNotice();

// Status texts of the failed backup and restore.
inline constexpr const char* kBackupFailedTitle = "Error\nCould not back up the GPS data.";
inline constexpr const char* kBackupFailedDetail = "Nothing was changed on the GPS.";
inline constexpr const char* kRestoreFailedTitle = "Error\nCould not restore the GPS data.";
inline constexpr const char* kRestoringDataText = "Restoring Data...";

// The question about a backup of an earlier run, and what follows a Yes.
inline constexpr const char* kHeldBackupCaption = "Saved GPS Data";
inline constexpr const char* kHeldBackupQuestion =
    "Files saved from your GPS before an earlier update were never put back:\n\n"
    "Put them back now? Files that are on the GPS are left as they are.";
inline constexpr const char* kHeldBackupRestoredText = "The saved files are back on the GPS.";

}  // namespace core

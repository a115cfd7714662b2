#include "DriveChanges.h"

#include "DriveState.h"

namespace trace {

void DriveChanges::changedAt(const char* kind, const std::string& path, bool ok) {
    const auto drive = onDrive(path);
    // The drive itself is not written down: no file of it changed.
    if (drive && !drive->second.empty()) changed(kind, drive->first, drive->second, "", ok);
}

void DriveChanges::wroteAt(int drive, const std::string& relative, const std::string& path,
                           bool ok) {
    if (relative.empty()) return;
    wrote(drive, relative, fileStateAt(path, relative), ok);
}

bool DriveChanges::createFolder(const std::string& path, bool privateMode, std::string* error) {
    const bool ok = inner().createFolder(path, privateMode, error);
    changedAt("mkdir", path, ok);
    return ok;
}

std::unique_ptr<platform::WritableFile> DriveChanges::createFile(const std::string& path,
                                                                 std::string* error) {
    std::unique_ptr<platform::WritableFile> file = inner().createFile(path, error);
    const auto drive = onDrive(path);
    if (!drive) return file;
    if (!file) {
        wroteAt(drive->first, drive->second, path, false);
        return file;
    }
    return std::make_unique<ClosedFile>(std::move(file), [this, drive = *drive, path](bool ok) {
        wroteAt(drive.first, drive.second, path, ok);
    });
}

bool DriveChanges::deleteFile(const std::string& path, std::string* error) {
    const bool ok = inner().deleteFile(path, error);
    changedAt("deleted", path, ok);
    return ok;
}

bool DriveChanges::copyFile(const std::string& from, const std::string& to, std::string* error) {
    reading(from);
    const bool ok = inner().copyFile(from, to, error);
    if (auto drive = onDrive(to)) wroteAt(drive->first, drive->second, to, ok);
    return ok;
}

platform::TreeResult DriveChanges::copyTree(const std::string& from, const std::string& to) {
    reading(from);
    return copiedTo(from, to, inner().copyTree(from, to));
}

platform::TreeResult DriveChanges::copyMissing(const std::string& from, const std::string& to) {
    reading(from);
    return copiedTo(from, to, inner().copyMissing(from, to));
}

platform::TreeResult DriveChanges::copiedTo(const std::string& from, const std::string& to,
                                            platform::TreeResult result) {
    if (auto drive = onDrive(to); drive && !drive->second.empty()) {
        copied(drive->first, drive->second, copiedState(from, to, drive->second), result.ok);
    }
    return result;
}

platform::TreeResult DriveChanges::deleteTree(const std::string& path) {
    platform::TreeResult result = inner().deleteTree(path);
    changedAt("deleted", path, result.ok);
    return result;
}

bool DriveChanges::renameFolder(const std::string& from, const std::string& to,
                                std::string* error) {
    const bool ok = inner().renameFolder(from, to, error);
    const auto drive = onDrive(from);
    const auto target = onDrive(to);
    if (drive && target && drive->first == target->first && !drive->second.empty() &&
        !target->second.empty()) {
        changed("renamed", drive->first, drive->second, target->second, ok);
    }
    return ok;
}

}  // namespace trace

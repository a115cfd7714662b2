#include "core/Staging.h"

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "platform/Files.h"

namespace core {

platform::Files* filesOrLog() {
    platform::Files* files = services().files;
    if (!files) logLine("No file access available\r\n");
    return files;
}

std::string prepareStagingFolder() {
    std::string folder;
    std::string problem = "no staging folder can be had";
    if (platform::Paths* paths = services().paths) folder = paths->stagingDir();
    platform::Files* files = services().files;
    if (!folder.empty() && files && !files->createFolder(folder, true, &problem)) folder.clear();
    if (!files) problem = "no file access available";
    if (folder.empty()) {
        logLine("Could not create folder C:Quorta !...\r\n");
        logLinef("Staging folder: %s\r\n", problem.c_str());
        sendStatus(1, "Error\nUnable to create C:\\Quorta folder.", "C:\\Quorta folder needed");
        return "";
    }
    logLine("Success created folder C:Quorta !...\r\n");
    return folder;
}

bool writeStagingFile(platform::Files& files, const std::string& path, const uint8_t* data,
                      size_t length) {
    std::string problem;
    std::unique_ptr<platform::WritableFile> file = files.createFile(path, &problem);
    if (!file) {
        logLinef("Could not open source %s !...\r\n", path.c_str());
        if (!problem.empty()) logLinef("%s\r\n", problem.c_str());
        return false;
    }
    logLinef("%s opened/created source successfully.\r\n", path.c_str());
    bool whole = false;
    if (file->lock(0, length)) {
        logLinef("Locking\n source %s...\r\n", path.c_str());
        const size_t written = file->write(data, length);
        whole = written == length;
        if (!whole) {
            logLinef("Short write to %s: %zu of %zu bytes (%s)\r\n", path.c_str(), written, length,
                     file->error().c_str());
        }
        if (file->unlock(0, length)) logLinef("Unlocking\n source %s...\r\n", path.c_str());
    } else {
        // An unwritten file must not go on to the GPS as if it held the image.
        logLinef("Could not lock source %s (%s)\r\n", path.c_str(), file->error().c_str());
    }
    if (!file->close()) {
        logLinef("Closing %s failed (%s)\r\n", path.c_str(), file->error().c_str());
        whole = false;
    }
    logLinef("source %s \n closed!\r\n", path.c_str());
    if (!whole) files.deleteFile(path, nullptr);
    return whole;
}

bool copyToDrive(platform::Files& files, const std::string& staging, const std::string& target) {
    std::string problem;
    if (!files.copyFile(staging, target, &problem)) {
        logLinef("xfer FAIL source %s\n to\n target %s...\r\n", staging.c_str(), target.c_str());
        if (!problem.empty()) logLinef("%s\r\n", problem.c_str());
        return false;
    }
    logLinef("xfer SUCCESS source %s\n to\n target %s...\r\n", staging.c_str(), target.c_str());
    return true;
}

}  // namespace core

#include "core/DriveWriteCheck.h"

#include <memory>
#include <string>
#include <vector>

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "platform/Files.h"
#include "platform/Volumes.h"

namespace core {

namespace {

bool mountedReadOnly(const std::string& root) {
    platform::Volumes* volumes = services().volumes;
    std::vector<platform::VolumeInfo> list;
    if (!volumes || !volumes->list(list)) return false;  // the test file still tells
    for (const platform::VolumeInfo& v : list) {
        if (v.root == root) return v.readOnly;
    }
    return false;
}

// Empty when a file could be made there and removed again; the reason
// otherwise.
std::string testFileProblem(const std::string& root) {
    platform::Files* files = services().files;
    if (!files) return "no file access available";
    const std::string path = root + kDriveTestFileName;
    std::string error;
    std::unique_ptr<platform::WritableFile> file = files->createFile(path, &error);
    if (!file) return error.empty() ? "it cannot be written" : error;
    const bool closed = file->close();
    const std::string closeError = closed ? std::string() : file->error();
    file.reset();
    std::string removeError;
    if (!files->deleteFile(path, &removeError)) {
        logLinef("Drive check: %s could not be removed: %s\r\n", path.c_str(), removeError.c_str());
    }
    if (!closed) return closeError.empty() ? "it cannot be written" : closeError;
    return {};
}

}  // namespace

bool checkDriveWritable(const std::string& root, const char* title, const std::string& note) {
    std::string reason;
    if (mountedReadOnly(root)) {
        reason = kDriveReadOnlyReason;
        logLinef("Drive check: %s is mounted read-only\r\n", root.c_str());
    } else if (std::string problem = testFileProblem(root); !problem.empty()) {
        reason = "Its drive takes no file (" + problem + ").";
        logLinef("Drive check: %s takes no file: %s\r\n", root.c_str(), problem.c_str());
    } else {
        return true;
    }
    std::string detail = reason + "\n" + kDriveNotWritableAdvice;
    if (!note.empty()) detail += "\n" + note;
    sendStatus(1, title, detail.c_str());
    return false;
}

}  // namespace core

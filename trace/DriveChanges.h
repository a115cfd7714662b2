// The files seam with a watch on the drives a trace follows: every write
// there (a folder made, a file written and closed, a tree copied, something
// deleted or renamed) is passed on to the real files and then told, with
// what it left on the drive, to the class that extends this one. The
// recorder writes it down; the replay compares it with the recording. Both
// must see the same changes, so they are found in one place.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "TraceFile.h"
#include "platform/ForwardingFiles.h"

namespace trace {

// A drive file being written, passed through to the real one, that says when
// it is closed (and whether the close worked). A file dropped without a
// close counts as one that failed.
class ClosedFile : public platform::ForwardingWritableFile {
  public:
    ClosedFile(std::unique_ptr<platform::WritableFile> inner, std::function<void(bool ok)> closed)
        : ForwardingWritableFile(std::move(inner)), closed_(std::move(closed)) {}
    ~ClosedFile() override {
        if (closed_) {
            dropInner();
            closed_(false);
        }
    }
    bool close() override {
        const bool ok = ForwardingWritableFile::close();
        if (auto closed = std::exchange(closed_, nullptr)) closed(ok);
        return ok;
    }

  private:
    std::function<void(bool ok)> closed_;
};

class DriveChanges : public platform::ForwardingFiles {
  public:
    using ForwardingFiles::ForwardingFiles;

    bool createFolder(const std::string& path, bool privateMode, std::string* error) override;
    std::unique_ptr<platform::WritableFile> createFile(const std::string& path,
                                                       std::string* error) override;
    bool deleteFile(const std::string& path, std::string* error) override;
    bool copyFile(const std::string& from, const std::string& to, std::string* error) override;
    platform::TreeResult copyTree(const std::string& from, const std::string& to) override;
    platform::TreeResult copyMissing(const std::string& from, const std::string& to) override;
    platform::TreeResult deleteTree(const std::string& path) override;
    bool renameFolder(const std::string& from, const std::string& to, std::string* error) override;

  protected:
    // The followed drive `path` is on and its path there ("" for the drive
    // itself), or none.
    virtual std::optional<std::pair<int, std::string>> onDrive(const std::string& path) = 0;
    // A copy is about to read `from`.
    virtual void reading(const std::string& from) { (void)from; }
    // "mkdir", "deleted" or "renamed" (then with `to`) of a path on a drive,
    // never the drive itself.
    virtual void changed(const char* kind, int drive, const std::string& relative,
                         const std::string& to, bool ok) = 0;
    // A file written and closed, or copied, as it now is on the drive.
    virtual void wrote(int drive, const std::string& relative, const std::optional<FileState>& file,
                       bool ok) = 0;
    // A tree copied onto the drive, as the copy left it.
    virtual void copied(int drive, const std::string& relative, const TreeState& tree, bool ok) = 0;

  private:
    void changedAt(const char* kind, const std::string& path, bool ok);
    void wroteAt(int drive, const std::string& relative, const std::string& path, bool ok);
    platform::TreeResult copiedTo(const std::string& from, const std::string& to,
                                  platform::TreeResult result);
};

}  // namespace trace

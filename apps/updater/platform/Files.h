// File and folder work of the updater: staging files written exclusively,
// copies onto the GPS drive, and the backup of the drive's Quorta folder.
//
// No operation follows a symbolic link: a file is never created or opened
// through a link, and a tree walk never leaves the tree through one (links
// met inside are skipped and listed; a root that is itself a link is
// refused). Failures come back as results with a reason, never as exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A file created for writing, open until close() or destruction.
class WritableFile {
  public:
    virtual ~WritableFile() = default;
    // An exclusive byte-range lock over [offset, offset + length); false when
    // another holder refuses it (a file system without locks grants it).
    virtual bool lock(uint64_t offset, uint64_t length) = 0;
    virtual bool unlock(uint64_t offset, uint64_t length) = 0;
    // Writes the whole buffer from the start of the file (as one write as far
    // as the system allows) and returns the bytes written: less than `length`
    // means the write failed part way (disk full, drive gone), with the
    // reason in error().
    virtual size_t write(const uint8_t* data, size_t length) = 0;
    // Flushes and closes; false when the data may not have reached the disk.
    virtual bool close() = 0;
    virtual std::string error() const = 0;
};

// Outcome of a tree operation: what was done, what was skipped, and the
// first problem that stopped it (or made it incomplete).
struct TreeResult {
    bool ok = false;
    std::string error;  // empty when ok
    // Entries not copied or compared: links (never followed) and anything
    // that is neither a file nor a folder. deleteTree lists the links it
    // removed without following them.
    std::vector<std::string> skipped;
    std::vector<std::string> differences;  // compareTrees: what differs
    // copyMissing: entries left as they were because the target had them.
    std::vector<std::string> kept;
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// Whether anything is at a path: Unknown when it cannot be told (the folder
// above refuses to be looked into, a stale mount, an I/O error).
enum class Presence { Absent, Present, Unknown };

enum class TreeComparison {
    Identical,  // both trees hold exactly the same folders and files, byte for byte
    Contained,  // every file and folder of the first is in the second, byte for byte
};

class Files {
  public:
    virtual ~Files() = default;

    // Makes the folder when missing (its parent must exist); an existing
    // folder counts as success. With `privateMode` a new folder gets mode
    // 0700 and an existing one must be the user's own and closed to others.
    // Refuses a link in the folder's place.
    virtual bool createFolder(const std::string& path, bool privateMode, std::string* error) = 0;

    // Creates the file, or empties an existing one, for writing: never
    // through a link, no other writer admitted while it is open. Null with
    // the reason in `error` when it cannot be had.
    virtual std::unique_ptr<WritableFile> createFile(const std::string& path,
                                                     std::string* error) = 0;

    // Removes a file (a link is removed itself, never its target). A missing
    // file counts as success.
    virtual bool deleteFile(const std::string& path, std::string* error) = 0;

    // Copies a regular file over `to`, replacing an existing file; neither
    // side is opened through a link. The copy is flushed before it counts.
    virtual bool copyFile(const std::string& from, const std::string& to, std::string* error) = 0;

    // Copies the content of folder `from` into folder `to`, which is made
    // when missing; existing files are replaced.
    virtual TreeResult copyTree(const std::string& from, const std::string& to) = 0;

    // Copies into folder `to` (made when missing) only what it lacks of the
    // content of `from`: nothing in `to` is replaced or written into, a name
    // taken there by a file or a link keeps it, and those are listed in
    // `kept`. A file is written under a passing name and only takes its own
    // once whole and flushed, so a copy cut off part way never leaves a short
    // file that a later copy would keep.
    virtual TreeResult copyMissing(const std::string& from, const std::string& to) = 0;

    // Removes the folder `path` and everything in it; links inside are
    // removed themselves without being followed. A missing folder is success.
    virtual TreeResult deleteTree(const std::string& path) = 0;

    // Gives the folder `from` the name `to` (same file system); `to` must
    // not exist. A link named `from` is refused.
    virtual bool renameFolder(const std::string& from, const std::string& to,
                              std::string* error) = 0;

    // Compares every folder and every byte of every file of `a` with `b`.
    virtual TreeResult compareTrees(const std::string& a, const std::string& b,
                                    TreeComparison how) = 0;

    // True when `path` is a folder (a link to one does not count).
    virtual bool isFolder(const std::string& path) = 0;

    // True when anything is at `path`, a link (not followed) included.
    virtual bool exists(const std::string& path) = 0;

    // As exists(), but tells a path known to be free from one that cannot be
    // looked at (with the reason in `error`). Nothing is ever taken to be
    // absent because it could not be seen.
    virtual Presence presence(const std::string& path, std::string* error) {
        (void)error;
        return exists(path) ? Presence::Present : Presence::Absent;
    }

    // Reads a regular file of at most `maxBytes`, never through a link.
    // False with the reason when it cannot be read or is longer.
    virtual bool readFile(const std::string& path, size_t maxBytes, std::string& content,
                          std::string* error) = 0;
};

}  // namespace platform

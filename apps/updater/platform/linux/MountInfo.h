// The mount table of /proc/self/mountinfo, parsed into plain records.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MountEntry {
    int mountId = 0;
    int parentId = 0;
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;        // the mounted folder of the file system ("/" for all of it)
    std::string mountPoint;  // where it is mounted, unescaped
    std::string options;     // per-mount options
    std::string fsType;      // "vfat", "ext4", "fuseblk", ...
    std::string source;      // "/dev/sdb1", or whatever the file system says
    std::string superOptions;
};

// Undoes the kernel's octal escapes (\040 space, \011 tab, \012 newline,
// \134 backslash, and any other \ooo); a backslash not followed by three
// octal digits stays as it is.
std::string unescapeMountField(std::string_view field);

// One line of mountinfo; nullopt when the line is not well formed.
std::optional<MountEntry> parseMountInfoLine(std::string_view line);

// Every well-formed line of a mountinfo text, in order; bad lines are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// True when the comma-separated `options` ("rw,nosuid,...") hold `option`
// as a whole word.
bool hasMountOption(std::string_view options, std::string_view option);

// Reads a whole file of /proc or /sys (their sizes are not known in advance);
// nullopt when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace platform

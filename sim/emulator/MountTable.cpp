#include "sim/emulator/MountTable.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/emulator/DeviceTrees.h"
#include "sim/emulator/Testbed.h"

namespace emu {

namespace {

constexpr const char* kServedPath = "proc/self/mountinfo";
// A FUSE file system gets an anonymous device number.
constexpr const char* kFuseDevice = "0:90";

std::string escapeField(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\%03o", c);
            out += esc;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace

std::string mountInfoLine(const std::string& mountPoint, const std::string& fsType, DriveMount how,
                          bool readOnly, const DiskPlace& place, int mountId) {
    const std::string point = escapeField(mountPoint);
    // Both the mount's own options and the file system's say "ro", as after
    // a mount with -o ro or the kernel's remount after an error.
    const std::string mode = readOnly ? "ro" : "rw";
    const std::string partition = place.fileSystemNode();
    if (how == DriveMount::Fuse) {
        return std::to_string(mountId) + " 1 " + kFuseDevice + " / " + point + " " + mode +
               ",nosuid,nodev,relatime shared:901 - fuseblk " + partition + " " + mode +
               ",user_id=0,group_id=0,default_permissions,allow_other,blksize=4096";
    }
    const std::string dev = place.fileSystemDev();
    const char* options = fsType == "vfat" ? ",fmask=0022,dmask=0022,codepage=437,iocharset="
                                             "utf8,shortname=mixed,errors=remount-ro"
                                           : "";
    return std::to_string(mountId) + " 1 " + dev + " / " + point + " " + mode +
           ",nosuid,nodev,relatime shared:901 - " + fsType + " " + partition + " " + mode + options;
}

MountTable::MountTable(Testbed& testbed) : testbed_(testbed) {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    base_ = text.str();
    if (!base_.empty() && base_.back() != '\n') base_ += '\n';
    setDriveLine("");
}

bool MountTable::setLine(int slot, const std::string& line) {
    std::lock_guard lock(mutex_);
    if (line.empty()) {
        lines_.erase(slot);
    } else {
        lines_[slot] = line;
    }
    std::string table = base_;
    for (const auto& [_, text] : lines_) table += text + "\n";
    return testbed_.writeFile(kServedPath, table);
}

}  // namespace emu

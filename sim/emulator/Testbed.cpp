#include "sim/emulator/Testbed.h"

#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace emu {

namespace fs = std::filesystem;

Testbed::Testbed() {
    bed_ = umockdev_testbed_new();
    if (!bed_) throw std::runtime_error("umockdev cannot make a testbed");
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    root_ = root ? root : "";
    g_free(root);
    std::error_code ec;
    fs::create_directories(fs::path(root_) / "dev", ec);
}

Testbed::~Testbed() {
    // Removes the testbed's folder with everything in it.
    g_object_unref(bed_);
}

bool Testbed::add(const std::string& text, std::string* error) {
    std::lock_guard lock(mutex_);
    GError* e = nullptr;
    if (umockdev_testbed_add_from_string(bed_, text.c_str(), &e)) return true;
    if (error) *error = e ? e->message : "umockdev refused the device";
    if (e) g_error_free(e);
    return false;
}

void Testbed::remove(const std::vector<std::string>& syspaths,
                     const std::vector<std::string>& blockNames) {
    std::lock_guard lock(mutex_);
    // Children first, as the kernel removes them, each with its uevent.
    for (auto it = syspaths.rbegin(); it != syspaths.rend(); ++it) {
        if (!fs::exists(root_ + *it)) continue;
        umockdev_testbed_uevent(bed_, it->c_str(), "remove");
        umockdev_testbed_remove_device(bed_, it->c_str());
    }
    // The testbed keeps its /sys/block links of removed disks; a later add
    // of the same disk would fail on them.
    std::error_code ec;
    for (const std::string& name : blockNames) fs::remove(fs::path(root_) / "sys/block" / name, ec);
}

bool Testbed::attachIoctl(const std::string& devnode, UMockdevIoctlBase* handler,
                          std::string* error) {
    std::lock_guard lock(mutex_);
    GError* e = nullptr;
    if (umockdev_testbed_attach_ioctl(bed_, devnode.c_str(), handler, &e)) {
        // Whoever may open the node must reach its emulation: the node's own
        // mode says who may.
        ::chmod((root_ + "/ioctl" + devnode).c_str(), 0666);
        return true;
    }
    if (error) *error = e ? e->message : "umockdev cannot emulate " + devnode;
    if (e) g_error_free(e);
    return false;
}

void Testbed::detachIoctl(const std::string& devnode) {
    std::lock_guard lock(mutex_);
    umockdev_testbed_detach_ioctl(bed_, devnode.c_str(), nullptr);
}

bool Testbed::writeFile(const std::string& relativePath, const std::string& contents) {
    std::lock_guard lock(mutex_);
    const fs::path path = fs::path(root_) / relativePath;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << contents;
        if (!out.flush()) return false;
    }
    fs::rename(temporary, path, ec);
    return !ec;
}

bool Testbed::makeLink(const std::string& relativePath, const std::string& target) {
    std::lock_guard lock(mutex_);
    const fs::path path = fs::path(root_) / relativePath;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path temporary = path.string() + ".new";
    fs::remove(temporary, ec);
    fs::create_symlink(target, temporary, ec);
    if (ec) return false;
    fs::rename(temporary, path, ec);
    return !ec;
}

void Testbed::removeEntry(const std::string& relativePath) {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::remove(fs::path(root_) / relativePath, ec);
}

bool preloadActive() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

}  // namespace emu

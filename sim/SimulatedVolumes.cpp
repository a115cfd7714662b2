#include "sim/SimulatedVolumes.h"

#include <algorithm>
#include <filesystem>

#include "sim/SimulatedGps.h"

namespace sim {

namespace fs = std::filesystem;

void SimulatedVolumes::addGps(SimulatedGps* gps) {
    std::lock_guard lock(mutex_);
    Entry e;
    e.gps = gps;
    entries_.push_back(std::move(e));
}

void SimulatedVolumes::removeGps(const SimulatedGps* gps) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [gps](const Entry& e) { return e.gps == gps; });
}

void SimulatedVolumes::addVolume(platform::VolumeInfo info, std::string folder) {
    std::lock_guard lock(mutex_);
    Entry e;
    e.info = std::move(info);
    e.folder = std::move(folder);
    entries_.push_back(std::move(e));
}

void SimulatedVolumes::setListFails(bool fails) {
    std::lock_guard lock(mutex_);
    listFails_ = fails;
}

int SimulatedVolumes::listCalls() {
    std::lock_guard lock(mutex_);
    return listCalls_;
}

bool SimulatedVolumes::list(std::vector<platform::VolumeInfo>& out) {
    std::lock_guard lock(mutex_);
    ++listCalls_;
    out.clear();
    if (listFails_) return false;
    for (const Entry& e : entries_) {
        if (e.gps) {
            if (auto v = e.gps->driveVolume()) out.push_back(*v);
        } else if (e.mounted) {
            out.push_back(e.info);
        }
    }
    return true;
}

std::string SimulatedVolumes::folderOf(const std::string& root) {
    for (const Entry& e : entries_) {
        if (e.gps) {
            if (auto v = e.gps->driveVolume(); v && v->root == root) return e.gps->driveFolder();
        } else if (e.mounted && e.info.root == root) {
            return e.folder;
        }
    }
    return {};
}

bool SimulatedVolumes::listRoot(const std::string& root, std::vector<platform::DirEntry>& out) {
    std::string folder;
    {
        std::lock_guard lock(mutex_);
        folder = folderOf(root);
    }
    out.clear();
    if (folder.empty()) return false;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return false;
    for (const fs::directory_entry& entry : it) {
        platform::DirEntry d;
        d.name = entry.path().filename().string();
        // A link is not a folder of the drive, whatever it points at.
        d.isDirectory = entry.symlink_status(ec).type() == fs::file_type::directory;
        out.push_back(std::move(d));
    }
    return true;
}

bool SimulatedVolumes::unmount(const std::string& root) {
    std::lock_guard lock(mutex_);
    for (Entry& e : entries_) {
        if (e.gps) {
            if (auto v = e.gps->driveVolume(); v && v->root == root) {
                e.gps->removeDrive();
                return true;
            }
        } else if (e.mounted && e.info.root == root) {
            e.mounted = false;
            return true;
        }
    }
    return false;
}

bool SimulatedVolumes::isMounted(const std::string& root) {
    std::lock_guard lock(mutex_);
    return !folderOf(root).empty();
}

// --- Safe removal -------------------------------------------------------------

class SimulatedVolumeEjector::Handle : public platform::VolumeHandle {
  public:
    Handle(SimulatedVolumeEjector& owner, std::string root, EjectorFaults faults)
        : owner_(owner), root_(std::move(root)), faults_(faults) {}
    ~Handle() override { owner_.note("close"); }

    bool lock() override {
        bool ok = faults_.lockRefusals == 0;
        if (faults_.lockRefusals > 0) --faults_.lockRefusals;
        owner_.note(ok ? "lock" : "lock failed");
        return ok;
    }
    bool dismount() override {
        bool ok = !faults_.dismountFails && owner_.volumes_.unmount(root_);
        owner_.note(ok ? "dismount" : "dismount failed");
        return ok;
    }
    bool allowRemoval() override {
        bool ok = !faults_.allowRemovalFails;
        owner_.note(ok ? "allowRemoval" : "allowRemoval failed");
        return ok;
    }
    bool eject() override {
        bool ok = !faults_.ejectFails;
        owner_.note(ok ? "eject" : "eject failed");
        return ok;
    }

  private:
    SimulatedVolumeEjector& owner_;
    std::string root_;
    EjectorFaults faults_;
};

void SimulatedVolumeEjector::setFaults(const EjectorFaults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

void SimulatedVolumeEjector::note(std::string operation) {
    std::lock_guard lock(mutex_);
    operations_.push_back(std::move(operation));
}

std::vector<std::string> SimulatedVolumeEjector::operations() {
    std::lock_guard lock(mutex_);
    return operations_;
}

std::unique_ptr<platform::VolumeHandle> SimulatedVolumeEjector::open(const std::string& root) {
    if (!volumes_.isMounted(root)) {
        note("open " + root + " failed");
        return nullptr;
    }
    note("open " + root);
    EjectorFaults faults;
    {
        std::lock_guard lock(mutex_);
        faults = faults_;
    }
    return std::make_unique<Handle>(*this, root, faults);
}

}  // namespace sim

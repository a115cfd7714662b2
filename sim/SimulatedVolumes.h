// The mounted volumes of a simulated computer, each backed by a folder: the
// drives of simulated GPSes (while mounted) among fixture volumes of any kind
// (fixed disks, other sticks, NTFS, ...), and the safe removal of them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/VolumeEjector.h"
#include "platform/Volumes.h"

namespace sim {

class SimulatedGps;

class SimulatedVolumes : public platform::Volumes {
  public:
    // In list order. The GPS must outlive this list (or be removed first).
    void addGps(SimulatedGps* gps);
    void removeGps(const SimulatedGps* gps);
    // A volume whose root listing is that of `folder`; info.root is its root
    // as listed (normally the folder with a trailing "/").
    void addVolume(platform::VolumeInfo info, std::string folder);
    // Makes list() fail, as a drive list that cannot be had.
    void setListFails(bool fails);

    // Takes the volume at `root` away (it was dismounted). False when no
    // mounted volume has that root.
    bool unmount(const std::string& root);
    bool isMounted(const std::string& root);

    bool list(std::vector<platform::VolumeInfo>& out) override;
    bool listRoot(const std::string& root, std::vector<platform::DirEntry>& out) override;

    // How many times the list was asked for.
    int listCalls();

  private:
    struct Entry {
        SimulatedGps* gps = nullptr;
        platform::VolumeInfo info;
        std::string folder;
        bool mounted = true;
    };
    // Caller holds the mutex. The folder behind a mounted root, or "".
    std::string folderOf(const std::string& root);

    std::mutex mutex_;
    std::vector<Entry> entries_;
    bool listFails_ = false;
    int listCalls_ = 0;
};

// Faults of the safe removal.
struct EjectorFaults {
    int lockRefusals = 0;  // the first N lock attempts of each open fail; -1: all
    bool dismountFails = false;
    bool allowRemovalFails = false;
    bool ejectFails = false;
};

class SimulatedVolumeEjector : public platform::VolumeEjector {
  public:
    explicit SimulatedVolumeEjector(SimulatedVolumes& volumes) : volumes_(volumes) {}

    void setFaults(const EjectorFaults& faults);

    std::unique_ptr<platform::VolumeHandle> open(const std::string& root) override;

    // Every operation asked of the ejector, in order: "open <root>", "lock",
    // "dismount", "allowRemoval", "eject", "close"; failures end in " failed".
    std::vector<std::string> operations();

  private:
    class Handle;
    friend class Handle;
    void note(std::string operation);

    SimulatedVolumes& volumes_;
    std::mutex mutex_;
    EjectorFaults faults_;
    std::vector<std::string> operations_;
};

}  // namespace sim

#include "ReplaySeams.h"

#include "DriveState.h"

namespace trace {

namespace {

platform::DeviceEvent eventOf(const std::string& name) {
    if (name == "VolumeArrival") return platform::DeviceEvent::VolumeArrival;
    if (name == "VolumeRemoveComplete") return platform::DeviceEvent::VolumeRemoveComplete;
    return platform::DeviceEvent::DevNodesChanged;  // the only other name a trace may hold
}

bool always(const Entry&) {
    return true;
}

class ReplayVolumeHandle : public platform::VolumeHandle {
  public:
    bool lock() override { return true; }
    bool dismount() override { return true; }
    bool allowRemoval() override { return true; }
    bool eject() override { return true; }
};

std::string describeTree(const TreeState& tree) {
    return std::to_string(tree.files.size()) + " files, " + std::to_string(tree.folders.size()) +
           " folders";
}

// The first file or folder in which two tree states differ.
std::string treeDifference(const TreeState& made, const TreeState& recorded) {
    for (size_t i = 0; i < std::max(made.files.size(), recorded.files.size()); ++i) {
        const FileState* a = i < made.files.size() ? &made.files[i] : nullptr;
        const FileState* b = i < recorded.files.size() ? &recorded.files[i] : nullptr;
        if (a && b && *a == *b) continue;
        return "first difference: " + (a ? describeFile(*a, a->path) : std::string("no file")) +
               " recorded " + (b ? describeFile(*b, b->path) : std::string("no file"));
    }
    return made.folders == recorded.folders ? "" : "the folders differ";
}

}  // namespace

std::vector<std::string> ReplayUsbDeviceList::hardwareIds() {
    return session_
        .take(
            Op::Usb, [] { return std::string("listed the USB devices"); }, always)
        .more()
        .texts;
}

bool ReplayDeviceEvents::start(Sink sink) {
    if (!sink) return false;
    session_.startEvents(
        [sink = std::move(sink)](const std::string& name) { sink(eventOf(name)); });
    return true;
}

bool ReplayVolumes::list(std::vector<platform::VolumeInfo>& out) {
    const Entry& e = session_.take(
        Op::Volumes, [] { return std::string("listed the volumes"); }, always);
    out.clear();
    for (const VolumeRecord& v : e.more().volumes) {
        platform::VolumeInfo info;
        info.root = session_.driveRoot(v.drive);
        info.removable = true;
        info.label = v.label;
        info.fileSystem = v.fileSystem;
        out.push_back(std::move(info));
    }
    return e.ok;
}

bool ReplayVolumes::listRoot(const std::string& root, std::vector<platform::DirEntry>& out) {
    const auto drive = session_.onDrive(root);
    const Entry& e = session_.take(
        Op::ListRoot, [&] { return "listed the root " + root; },
        [&](const Entry& r) { return drive && drive->second.empty() && r.drive == drive->first; });
    out.clear();
    for (const std::string& name : e.more().rootEntries) {
        platform::DirEntry entry;
        entry.isDirectory = !name.empty() && name.back() == '/';
        entry.name = entry.isDirectory ? name.substr(0, name.size() - 1) : name;
        out.push_back(std::move(entry));
    }
    return e.ok;
}

std::unique_ptr<platform::VolumeHandle> ReplayVolumeEjector::open(const std::string&) {
    return std::make_unique<ReplayVolumeHandle>();
}

// --- Files ------------------------------------------------------------------------------

void ReplayFiles::changed(const char* op, int drive, const std::string& relative,
                          const std::string& to, bool ok) {
    const std::string kind = op;
    const std::string action =
        kind + " " + relative + (to.empty() ? "" : " to " + to) + (ok ? "" : " (failed)");
    session_.take(
        Op::DriveChange, [&] { return action; },
        [&](const Entry& r) {
            const EntryDetail& d = r.more();
            return d.kind == kind && r.drive == drive && d.path == relative && d.to == to &&
                   r.ok == ok;
        });
}

void ReplayFiles::wrote(int drive, const std::string& relative,
                        const std::optional<FileState>& made, bool ok) {
    session_.take(
        Op::DriveChange,
        [&] { return "wrote " + describeFile(made, relative) + (ok ? "" : " (failed)"); },
        [&](const Entry& r) {
            const EntryDetail& d = r.more();
            return d.kind == "wrote" && r.drive == drive && d.path == relative && r.ok == ok &&
                   d.file == made;
        },
        [&](const Entry& r) {
            const EntryDetail& d = r.more();
            if (d.kind != "wrote") return describe(r);
            return describeFile(d.file, d.path) + (r.ok ? "" : " (failed)");
        });
}

void ReplayFiles::copied(int drive, const std::string& relative, const TreeState& made, bool ok) {
    session_.take(
        Op::DriveChange,
        [&] {
            return "copied " + relative + " (" + describeTree(made) + ")" + (ok ? "" : " (failed)");
        },
        [&](const Entry& r) {
            const EntryDetail& d = r.more();
            return d.kind == "copied" && r.drive == drive && d.path == relative && r.ok == ok &&
                   d.tree == made;
        },
        [&](const Entry& r) {
            const EntryDetail& d = r.more();
            if (d.kind != "copied") return describe(r);
            return relative + " (" + describeTree(d.tree) + ")" + (r.ok ? "" : " (failed)");
        },
        std::nullopt,
        [&](const Entry& r) {
            const EntryDetail& d = r.more();
            return d.kind == "copied" ? treeDifference(made, d.tree) : "";
        });
}

}  // namespace trace

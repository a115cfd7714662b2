#include "RecordingSeams.h"

#include "DriveState.h"
#include "TraceJson.h"

namespace trace {

namespace {

Json::Value line(const char* op) {
    Json::Value v(Json::objectValue);
    v["op"] = op;
    return v;
}

}  // namespace

const char* eventName(platform::DeviceEvent event) {
    switch (event) {
        case platform::DeviceEvent::DevNodesChanged:
            return "DevNodesChanged";
        case platform::DeviceEvent::VolumeArrival:
            return "VolumeArrival";
        case platform::DeviceEvent::VolumeRemoveComplete:
            return "VolumeRemoveComplete";
    }
    return "?";
}

std::vector<std::string> RecordingUsbDeviceList::hardwareIds() {
    std::vector<std::string> ids = inner_.hardwareIds();
    Json::Value v = line("usb");
    Json::Value list(Json::arrayValue);
    for (const std::string& id : ids) list.append(id);
    v["ids"] = list;
    writer_.write(v);
    return ids;
}

bool RecordingDeviceEvents::start(Sink sink) {
    return inner_.start([this, sink = std::move(sink)](platform::DeviceEvent event) {
        Json::Value v = line("event");
        v["event"] = eventName(event);
        // The sink only hands the event to the window's thread.
        writer_.writeThen(v, [&] { sink(event); });
    });
}

bool RecordingVolumes::list(std::vector<platform::VolumeInfo>& out) {
    const bool ok = inner_.list(out);
    Json::Value v = line("volumes");
    Json::Value volumes(Json::arrayValue);
    if (ok) {
        for (const platform::VolumeInfo& info : out) {
            if (!info.removable) continue;
            Json::Value volume(Json::objectValue);
            volume["drive"] = writer_.driveNumber(info.root);
            volume["root"] = info.root;
            volume["label"] = info.label;
            volume["fs"] = info.fileSystem;
            volumes.append(volume);
        }
    }
    v["volumes"] = volumes;
    v["ok"] = ok;
    writer_.write(v);
    return ok;
}

bool RecordingVolumes::listRoot(const std::string& root, std::vector<platform::DirEntry>& out) {
    const bool ok = inner_.listRoot(root, out);
    Json::Value v = line("listRoot");
    v["drive"] = writer_.driveNumber(root);
    v["root"] = root;
    Json::Value entries(Json::arrayValue);
    if (ok) {
        for (const platform::DirEntry& entry : out) {
            entries.append(entry.isDirectory ? entry.name + "/" : entry.name);
        }
    }
    v["entries"] = entries;
    v["ok"] = ok;
    writer_.write(v);
    return ok;
}

// --- Files ------------------------------------------------------------------------------

void RecordingFiles::reading(const std::string& path) {
    const auto drive = writer_.onDrive(path);
    if (!drive) return;
    TreeState tree;
    if (inner().isFolder(path)) {
        if (!drive->second.empty() && writer_.firstTouch(drive->first, drive->second)) {
            tree.folders.push_back(drive->second);
        }
        TreeState inside = treeStateAt(path, drive->second);
        for (const std::string& folder : inside.folders) {
            if (writer_.firstTouch(drive->first, folder)) tree.folders.push_back(folder);
        }
        for (const FileState& file : inside.files) {
            if (writer_.firstTouch(drive->first, file.path)) tree.files.push_back(file);
        }
    } else if (std::optional<FileState> file = fileStateAt(path, drive->second)) {
        if (writer_.firstTouch(drive->first, file->path)) tree.files.push_back(*file);
    }
    if (tree.folders.empty() && tree.files.empty()) return;
    Json::Value v = line("found");
    v["drive"] = drive->first;
    addTree(v, tree);
    writer_.write(v, false);
}

void RecordingFiles::changed(const char* kind, int drive, const std::string& relative,
                             const std::string& to, bool ok) {
    Json::Value v = line(kind);
    v["drive"] = drive;
    v["path"] = relative;
    if (!to.empty()) v["to"] = to;
    v["ok"] = ok;
    writer_.firstTouch(drive, relative);
    if (!to.empty()) writer_.firstTouch(drive, to);
    writer_.write(v);
}

void RecordingFiles::wrote(int drive, const std::string& relative,
                           const std::optional<FileState>& file, bool ok) {
    Json::Value v = line("wrote");
    v["drive"] = drive;
    v["path"] = relative;
    v["ok"] = ok;
    if (file) {
        v["size"] = Json::UInt64(file->size);
        if (file->crc32) v["crc32"] = crcText(*file->crc32);
    }
    writer_.firstTouch(drive, relative);
    writer_.write(v);
}

void RecordingFiles::copied(int drive, const std::string& relative, const TreeState& tree,
                            bool ok) {
    Json::Value v = line("copied");
    v["drive"] = drive;
    v["path"] = relative;
    v["ok"] = ok;
    addTree(v, tree);
    writer_.firstTouch(drive, relative);
    for (const std::string& folder : tree.folders) writer_.firstTouch(drive, folder);
    for (const FileState& file : tree.files) writer_.firstTouch(drive, file.path);
    writer_.write(v);
}

platform::TreeResult RecordingFiles::compareTrees(const std::string& a, const std::string& b,
                                                  platform::TreeComparison how) {
    reading(a);
    reading(b);
    return inner().compareTrees(a, b, how);
}

bool RecordingFiles::isFolder(const std::string& path) {
    const bool folder = inner().isFolder(path);
    if (folder) {
        const auto drive = writer_.onDrive(path);
        if (drive && !drive->second.empty() && writer_.firstTouch(drive->first, drive->second)) {
            Json::Value v = line("found");
            v["drive"] = drive->first;
            addTree(v, TreeState{{drive->second}, {}});
            writer_.write(v, false);
        }
    }
    return folder;
}

}  // namespace trace

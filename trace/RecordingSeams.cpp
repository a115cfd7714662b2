#include "RecordingSeams.h"

#include "ClosedFile.h"
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

void RecordingFiles::noteFound(const std::string& path) {
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

void RecordingFiles::noteChange(const char* op, int drive, const std::string& relative, bool ok) {
    if (relative.empty()) return;  // the drive itself: no file of it changed
    Json::Value v = line(op);
    v["drive"] = drive;
    v["path"] = relative;
    v["ok"] = ok;
    writer_.firstTouch(drive, relative);
    writer_.write(v);
}

void RecordingFiles::noteWritten(int drive, const std::string& relative, const std::string& path,
                                 bool ok) {
    if (relative.empty()) return;
    Json::Value v = line("wrote");
    v["drive"] = drive;
    v["path"] = relative;
    v["ok"] = ok;
    if (std::optional<FileState> file = fileStateAt(path, relative)) {
        v["size"] = Json::UInt64(file->size);
        if (file->crc32) v["crc32"] = crcText(*file->crc32);
    }
    writer_.firstTouch(drive, relative);
    writer_.write(v);
}

bool RecordingFiles::createFolder(const std::string& path, bool privateMode, std::string* error) {
    const bool ok = inner().createFolder(path, privateMode, error);
    if (auto drive = writer_.onDrive(path)) noteChange("mkdir", drive->first, drive->second, ok);
    return ok;
}

std::unique_ptr<platform::WritableFile> RecordingFiles::createFile(const std::string& path,
                                                                   std::string* error) {
    std::unique_ptr<platform::WritableFile> file = inner().createFile(path, error);
    const auto drive = writer_.onDrive(path);
    if (!drive) return file;
    if (!file) {
        noteWritten(drive->first, drive->second, path, false);
        return file;
    }
    return std::make_unique<ClosedFile>(std::move(file), [this, drive = *drive, path](bool ok) {
        noteWritten(drive.first, drive.second, path, ok);
    });
}

bool RecordingFiles::deleteFile(const std::string& path, std::string* error) {
    const bool ok = inner().deleteFile(path, error);
    if (auto drive = writer_.onDrive(path)) noteChange("deleted", drive->first, drive->second, ok);
    return ok;
}

bool RecordingFiles::copyFile(const std::string& from, const std::string& to, std::string* error) {
    noteFound(from);
    const bool ok = inner().copyFile(from, to, error);
    if (auto drive = writer_.onDrive(to)) noteWritten(drive->first, drive->second, to, ok);
    return ok;
}

platform::TreeResult RecordingFiles::copyTree(const std::string& from, const std::string& to) {
    noteFound(from);
    return noteCopied(from, to, inner().copyTree(from, to));
}

platform::TreeResult RecordingFiles::copyMissing(const std::string& from, const std::string& to) {
    noteFound(from);
    return noteCopied(from, to, inner().copyMissing(from, to));
}

platform::TreeResult RecordingFiles::noteCopied(const std::string& from, const std::string& to,
                                                platform::TreeResult result) {
    if (auto drive = writer_.onDrive(to); drive && !drive->second.empty()) {
        const TreeState copied = copiedState(from, to, drive->second);
        Json::Value v = line("copied");
        v["drive"] = drive->first;
        v["path"] = drive->second;
        v["ok"] = result.ok;
        addTree(v, copied);
        writer_.firstTouch(drive->first, drive->second);
        for (const std::string& folder : copied.folders) writer_.firstTouch(drive->first, folder);
        for (const FileState& file : copied.files) writer_.firstTouch(drive->first, file.path);
        writer_.write(v);
    }
    return result;
}

platform::TreeResult RecordingFiles::deleteTree(const std::string& path) {
    platform::TreeResult result = inner().deleteTree(path);
    if (auto drive = writer_.onDrive(path)) {
        noteChange("deleted", drive->first, drive->second, result.ok);
    }
    return result;
}

bool RecordingFiles::renameFolder(const std::string& from, const std::string& to,
                                  std::string* error) {
    const bool ok = inner().renameFolder(from, to, error);
    const auto drive = writer_.onDrive(from);
    const auto target = writer_.onDrive(to);
    if (drive && target && drive->first == target->first && !drive->second.empty() &&
        !target->second.empty()) {
        Json::Value v = line("renamed");
        v["drive"] = drive->first;
        v["path"] = drive->second;
        v["to"] = target->second;
        v["ok"] = ok;
        writer_.firstTouch(drive->first, drive->second);
        writer_.firstTouch(drive->first, target->second);
        writer_.write(v);
    }
    return ok;
}

platform::TreeResult RecordingFiles::compareTrees(const std::string& a, const std::string& b,
                                                  platform::TreeComparison how) {
    noteFound(a);
    noteFound(b);
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

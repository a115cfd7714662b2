// The drive parts of a trace line, as the recorder writes them.
#pragma once

#include <json/value.h>

#include "TraceFile.h"

namespace trace {

inline Json::Value fileJson(const FileState& file) {
    Json::Value v(Json::objectValue);
    v["path"] = file.path;
    v["size"] = Json::UInt64(file.size);
    if (file.crc32) v["crc32"] = crcText(*file.crc32);
    return v;
}

// "folders" and "files" of `line`.
inline void addTree(Json::Value& line, const TreeState& tree) {
    Json::Value folders(Json::arrayValue);
    for (const std::string& folder : tree.folders) folders.append(folder);
    Json::Value files(Json::arrayValue);
    for (const FileState& file : tree.files) files.append(fileJson(file));
    line["folders"] = folders;
    line["files"] = files;
}

}  // namespace trace

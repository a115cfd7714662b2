// What a trace keeps of the GPS drive: the names, sizes and CRC-32 of files
// (of files under 64 bytes the size only),
// read off a folder without following links, and a folder made up of files
// with recorded names, sizes and CRCs for a replay.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "TraceFile.h"

namespace trace {

// The file at `path` (not a link), or none.
std::optional<FileState> fileStateAt(const std::string& path, const std::string& name);

// Every folder and file below `folder` (itself not listed), paths starting
// with `prefix` ("Quorta/..."); links and other kinds are left out. Empty
// when `folder` is no folder.
TreeState treeStateAt(const std::string& folder, const std::string& prefix);

// What a tree copy from `from` to `to` left at the target: the source's
// folders, and the target's state of each of the source's files, with paths
// starting with `prefix`.
TreeState copiedState(const std::string& from, const std::string& to, const std::string& prefix);

// The rider's files left on drive `drive` at `root` at the end of a run:
// every file below the top-level folders named in `tops` (files at the root
// are the program's, for the GPS to take), by path and size only. Empty
// when `root` is no folder.
DriveFiles filesLeft(int drive, const std::string& root, const std::set<std::string>& tops);

// Makes the folders and the files of `tree` inside `root`, each file with
// the recorded size and CRC-32 (zeros and four chosen bytes). False, with
// `error`, when one cannot be made.
bool makeTree(const std::string& root, const TreeState& tree, std::string* error);

}  // namespace trace

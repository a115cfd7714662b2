// The folder that plays a simulated GPS's drive, as the device itself works
// on it: reading the files the computer left, emptying its Quorta folder, and
// making the whole drive read-only to the computer.
//
// Nothing here follows a symbolic link: a link the computer left on the drive
// is neither read through nor descended into.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::drive {

// The bytes of a regular file; none when it is missing, not a regular file,
// a link, or unreadable.
std::optional<std::vector<uint8_t>> readFile(const std::string& path);

// The size of a regular file (links not followed); none otherwise.
std::optional<uint64_t> fileSize(const std::string& path);

// Removes everything inside `folder`, keeping the folder itself (made when
// missing). False when something could not be removed.
bool emptyFolder(const std::string& folder);

// Makes every folder and file of the tree read-only, or writable again. Write
// permission alone does not stop a process running as root, so where the file
// system allows it the immutable attribute is set too. False when some entry
// could not be changed.
bool setReadOnly(const std::string& root, bool readOnly);

}  // namespace sim::drive

// The staging folder on the computer and the files the radio and font
// workflows write there before copying them onto the GPS drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
class Files;
}

namespace core {

// The staging folder (with a trailing "/"), made if missing, with its log
// line. "" when it cannot be had: the log line, the reason and the status
// "Error\nUnable to create C:\\Quorta folder." are then already given.
std::string prepareStagingFolder();

// Creates the staging file, locks the range it will hold, writes the data in
// one write, unlocks and closes it, with the workflow's log lines. False when
// the file cannot be created (logged "Could not open source %s !...\r\n"),
// the lock is refused, fewer bytes than asked were written or the close
// failed; a file that was not written whole is deleted again, so it can
// never be copied to the GPS.
bool writeStagingFile(platform::Files& files, const std::string& path, const uint8_t* data,
                      size_t length);

// Copies a staging file to the GPS drive over any file there, with the
// "xfer SUCCESS" or "xfer FAIL" log line (and the reason after a failure).
bool copyToDrive(platform::Files& files, const std::string& staging, const std::string& target);

// The file service, or null after logging that there is none.
platform::Files* filesOrLog();

}  // namespace core

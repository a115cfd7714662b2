// A device trace: what a program exchanged with a Quorta GPS, one JSON text
// per line (JSON Lines), written and read with jsoncpp.
//
// The first line says what the file holds and which program wrote it: its
// version, its command line and the versions of the images it carries. Every
// other line has an "op" and "t", the milliseconds since the start on the
// program's clock (scaled by --time-scale), and, for what the program did,
// "th", the number of the thread that did it (named once by a "thread" line).
//
//   thread    {"name", "th"}: a thread's number, given before its first line
//   open      {"vid", "pid"} and "h", the handle; or "error", "errno" (and
//             "node" when permission was refused)
//   write     {"h", "hex", "n"}: the report as written; "result" and "error"
//             when the write did not take all of it
//   read      {"h", "size", "wait"} (the buffer and the timeout asked) and
//             "n" bytes in "hex"; "timeout": true with n 0; n -1 for an error
//   close     {"h"};  hid_exit
//   usb       {"ids"}: the USB device list of one scan
//   event     {"event"}: a device event as the program got it
//   volumes   {"volumes": [{"drive", "root", "label", "fs"}], "ok"}: the
//             removable volumes of one look at the mounts
//   listRoot  {"drive", "entries", "ok"}: a drive's root folder, folders
//             ending in "/"
//   found     {"drive", "files": [{"path", "size", "crc32"}], "folders"}:
//             the drive files the program read, as they were before it
//             read them; names, sizes and CRC-32 only, never contents
//   wrote, copied, deleted, mkdir, renamed: a change the program made on a
//             drive, {"drive", "path", "ok"} with the state after it
//   end       {"exit"}: the program's end and exit status
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trace {

inline constexpr int kFormat = 1;
// What the first line's "about" says.
inline constexpr const char* kAbout =
    "Quorta GPS device trace (JSON Lines): every exchange of the program with the GPS over USB "
    "in order, the USB device list at each scan, the device events, and the names, sizes and "
    "CRC-32 of the GPS drive files the program touched (never their contents)";
// No HID report is longer (hidraw's own limit).
inline constexpr size_t kLargestReport = 4096;

enum class Op {
    Thread,
    Open,
    Write,
    Read,
    Close,
    Exit,
    Usb,
    Event,
    Volumes,
    ListRoot,
    Found,
    DriveChange,  // wrote, copied, deleted, mkdir, renamed
    End,
};

struct FileState {
    std::string path;  // relative to the drive's root, "/" between names
    uint64_t size = 0;
    uint32_t crc32 = 0;
    bool operator==(const FileState&) const = default;
};

// Folders and files of a tree, each list sorted by path.
struct TreeState {
    std::vector<std::string> folders;
    std::vector<FileState> files;
    bool operator==(const TreeState&) const = default;
};

struct VolumeRecord {
    int drive = 0;
    std::string root;  // as recorded
    std::string label;
    std::string fileSystem;
};

struct Entry {
    size_t line = 0;  // 1 is the header
    Op op = Op::End;
    std::string kind;  // the "op" text
    int64_t t = 0;
    int thread = 0;  // 0: no thread (events, found, end)

    // open, write, read, close
    int handle = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string error;
    int errorNumber = 0;
    std::string permissionNode;
    std::vector<uint8_t> bytes;
    int length = 0;  // n: bytes written or read, 0 for a timeout, -1 for an error
    int result = 0;  // what the call returned
    int bufferSize = 0;
    int waitMs = 0;
    bool timeout = false;

    // usb, event, thread
    std::vector<std::string> texts;  // usb ids; the event's or the thread's name first

    // volumes, listRoot, found, drive changes
    bool ok = true;
    std::vector<VolumeRecord> volumes;
    int drive = 0;
    std::string path;
    std::string to;  // renamed
    std::vector<std::string> rootEntries;
    TreeState tree;                 // found, copied
    std::optional<FileState> file;  // wrote: the file after, none when it is not there

    int exitCode = 0;  // end
};

struct Trace {
    std::string program;
    std::string version;
    std::vector<std::string> args;
    double timeScale = 1.0;
    std::vector<Entry> entries;  // every line after the header, in order
    std::map<int, std::string> threads;
    std::map<int, std::string> driveRoots;  // as recorded
    bool complete = false;                  // it ends with its end line
    size_t lines = 0;
};

// Reads a whole trace. Never throws: none, with `error` saying which line
// and why, for a text that is not a trace this program can replay.
std::optional<Trace> parseTrace(std::string_view text, std::string* error);

// Reads the file at `path` (refused above 512 MB).
std::optional<Trace> readTraceFile(const std::string& path, std::string* error);
// Its text only, to be parsed later.
bool readTraceText(const std::string& path, std::string* text, std::string* error);

std::string toHex(const uint8_t* data, size_t length);
std::string crcText(uint32_t crc);

// What a line says, in a few words: "wrote 0100...", "opened 2b29:0055",
// "listed the USB devices", for the messages of a replay.
std::string describe(const Entry& entry);
std::string describeFile(const std::optional<FileState>& file, const std::string& path);

}  // namespace trace

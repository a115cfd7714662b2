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
//   end       {"exit"} and how the run ended: "title" and "detail", the
//             status the updater showed last, and "left": [{"drive",
//             "files": [{"path", "size"}]}], the rider's files left on each
//             drive still there (below the top-level folders the program
//             touched)
//   expect    {"exit", "title", "detail"} (each may be left out): written by
//             a person in place of the end line, what the run should end with
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trace {

// 2: the end line says how the run ended; files under 64 bytes have no CRC.
inline constexpr int kFormat = 2;
// What the first line's "about" says.
inline constexpr const char* kAbout =
    "Quorta GPS device trace (JSON Lines): every exchange of the program with the GPS over USB "
    "in order, the USB device list at each scan, the device events, and the names, sizes and "
    "CRC-32 of the GPS drive files the program touched (never their contents; of files under 64 "
    "bytes the size only), and how the run ended";
// No HID report is longer (hidraw's own limit).
inline constexpr size_t kLargestReport = 4096;
// A file this short is named with its size only: its CRC-32 would give back
// its contents (a PIN, a name) to anyone who tried the few values it can hold.
inline constexpr uint64_t kSmallestFileWithCrc = 64;

// The device events a trace may hold, as the program names them.
inline constexpr const char* kEventNames[] = {"DevNodesChanged", "VolumeArrival",
                                              "VolumeRemoveComplete"};

enum class Op : uint8_t {
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
    Expect,  // an ending written by a person
};

struct FileState {
    std::string path;  // relative to the drive's root, "/" between names
    uint64_t size = 0;
    std::optional<uint32_t> crc32;  // none for files under kSmallestFileWithCrc bytes
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

// The files one drive held at the end of a run.
struct DriveFiles {
    int drive = 0;
    std::vector<FileState> files;  // sorted by path; sizes only
    bool operator==(const DriveFiles&) const = default;
};

// How a run ended: recorded (end) or expected (expect).
struct Outcome {
    std::optional<int> exitCode;
    std::optional<std::string> title;
    std::optional<std::string> detail;
    std::optional<std::vector<DriveFiles>> left;  // none: not recorded
};

// What only some lines hold, kept apart so that a line costs little more in
// memory than its own text: a trace of short lines must not take many times
// its size.
struct EntryDetail {
    std::string kind;  // drive changes: wrote, copied, deleted, mkdir, renamed
    // open
    std::string error;  // and write
    int errorNumber = 0;
    std::string permissionNode;
    // usb, thread
    std::vector<std::string> texts;  // usb ids; the thread's name first
    // volumes, listRoot, found, drive changes
    std::vector<VolumeRecord> volumes;
    std::string path;
    std::string to;  // renamed
    std::vector<std::string> rootEntries;
    TreeState tree;                 // found, copied
    std::optional<FileState> file;  // wrote: the file after, none when it is not there
    // end, expect
    Outcome outcome;
};

// Bytes of a report: allocated to the byte.
class ReportBytes {
  public:
    ReportBytes() = default;
    explicit ReportBytes(size_t size) : data_(size ? new uint8_t[size]() : nullptr), size_(size) {}
    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const uint8_t* begin() const { return data_.get(); }
    const uint8_t* end() const { return data_.get() + size_; }
    uint8_t& operator[](size_t i) { return data_[i]; }

  private:
    std::unique_ptr<uint8_t[]> data_;
    uint16_t size_ = 0;
};

struct Entry {
    int64_t t = 0;
    uint32_t line = 0;  // 1 is the header
    int thread = 0;     // 0: no thread (events, found, end)
    // open, write, read, close
    int handle = 0;
    int waitMs = 0;
    int16_t length = 0;  // n: bytes written or read, 0 for a timeout, -1 for an error
    int16_t result = 0;  // what the call returned
    uint16_t bufferSize = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int16_t drive = 0;  // volumes, listRoot, found, drive changes
    uint8_t event = 0;  // event: which, an index into kEventNames
    Op op = Op::End;
    bool timeout = false;
    bool ok = true;
    ReportBytes bytes;
    std::unique_ptr<EntryDetail> detail;

    const char* eventName() const;
    // The rest of the line; empty for a line that has none.
    const EntryDetail& more() const;
    EntryDetail& more();  // made when first asked for
};

struct Trace {
    int format = kFormat;
    std::string program;
    std::string version;
    std::vector<std::string> args;
    double timeScale = 1.0;
    std::deque<Entry> entries;  // every line after the header, in order (never moved)
    std::map<int, std::string> threads;
    std::map<int, std::string> driveRoots;  // as recorded
    bool complete = false;                  // it ends with its end line, or an expect line
    bool expected = false;                  // with an expect line
    size_t lines = 0;
};

// Reads a whole trace, one line at a time, and stops at the first line it
// cannot use. Never throws: none, with `error` saying which line and why,
// for a text that is not a trace this program can replay (or that would
// take more memory than the machine has).
std::optional<Trace> parseTrace(std::string_view text, std::string* error);

// Opens the trace at `path` for reading: a regular file of at most 512 MB.
// Anything else (a FIFO, a device, a socket) is refused without waiting on
// it. -1, with `error`, when refused.
int openTraceFile(const std::string& path, std::string* error);
// Reads and closes `fd` as parseTrace reads a text.
std::optional<Trace> readTrace(int fd, std::string* error);
// Both.
std::optional<Trace> readTraceFile(const std::string& path, std::string* error);

std::string toHex(const uint8_t* data, size_t length);
std::string crcText(uint32_t crc);

// What a line says, in a few words: "wrote 0100...", "opened 2b29:0055",
// "listed the USB devices", for the messages of a replay.
std::string describe(const Entry& entry);
std::string describeFile(const std::optional<FileState>& file, const std::string& path);
// "exit status 1, title \"...\", detail \"...\"": what of `outcome` is said.
std::string describeOutcome(const Outcome& outcome);

}  // namespace trace

// What each line of a trace says on its own: its fields, their types,
// ranges and lengths, read into an Entry.
#include "TraceLines.h"

#include <json/json.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace trace {

void refuse(std::string why) {
    throw Refusal{std::move(why)};
}

namespace {

// A drive file a trace may name: FAT32's own limit.
constexpr int64_t kLargestDriveFile = (int64_t{1} << 32) - 1;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr std::array<int8_t, 256> kHexValue = [] {
    std::array<int8_t, 256> value{};
    value.fill(-1);
    for (int c = '0'; c <= '9'; ++c) value[static_cast<size_t>(c)] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) {
        value[static_cast<size_t>(c)] = static_cast<int8_t>(c - 'a' + 10);
        value[static_cast<size_t>(c - 'a' + 'A')] = static_cast<int8_t>(c - 'a' + 10);
    }
    return value;
}();

ReportBytes fromHex(std::string_view text) {
    if (text.size() % 2 != 0) refuse("\"hex\" has an odd number of digits");
    if (text.size() / 2 > kLargestReport) {
        refuse("a report of " + std::to_string(text.size() / 2) +
               " bytes is longer than any HID report");
    }
    ReportBytes bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = kHexValue[static_cast<uint8_t>(text[2 * i])];
        const int low = kHexValue[static_cast<uint8_t>(text[2 * i + 1])];
        if (high < 0 || low < 0) refuse("\"hex\" holds something other than hex digits");
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return bytes;
}

// --- Typed fields -------------------------------------------------------------------

const Json::Value& field(const Json::Value& line, const char* name) {
    const Json::Value* value = line.find(name, name + std::strlen(name));
    if (!value) refuse(std::string("\"") + name + "\" is missing");
    return *value;
}

bool has(const Json::Value& line, const char* name) {
    return line.find(name, name + std::strlen(name)) != nullptr;
}

int64_t integer(const Json::Value& line, const char* name, int64_t low, int64_t high) {
    const Json::Value& value = field(line, name);
    if (!value.isInt64()) {
        refuse(std::string("\"") + name + "\" is not a whole number");
    }
    const int64_t n = value.asInt64();
    if (n < low || n > high) {
        refuse(std::string("\"") + name + "\" is " + std::to_string(n) + ", outside " +
               std::to_string(low) + ".." + std::to_string(high));
    }
    return n;
}

int64_t integerOr(const Json::Value& line, const char* name, int64_t low, int64_t high,
                  int64_t otherwise) {
    return has(line, name) ? integer(line, name, low, high) : otherwise;
}

// The bytes of a text field, without a copy.
std::string_view textView(const Json::Value& line, const char* name) {
    const Json::Value& value = field(line, name);
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!value.isString() || !value.getString(&begin, &end)) {
        refuse(std::string("\"") + name + "\" is not a text");
    }
    return std::string_view(begin, static_cast<size_t>(end - begin));
}

std::string text(const Json::Value& line, const char* name) {
    const Json::Value& value = field(line, name);
    if (!value.isString()) refuse(std::string("\"") + name + "\" is not a text");
    return value.asString();
}

std::string textOr(const Json::Value& line, const char* name, const std::string& otherwise) {
    return has(line, name) ? text(line, name) : otherwise;
}

bool flag(const Json::Value& line, const char* name, bool otherwise) {
    if (!has(line, name)) return otherwise;
    const Json::Value& value = field(line, name);
    if (!value.isBool()) refuse(std::string("\"") + name + "\" is not true or false");
    return value.asBool();
}

const Json::Value& array(const Json::Value& line, const char* name) {
    const Json::Value& value = field(line, name);
    if (!value.isArray()) refuse(std::string("\"") + name + "\" is not a list");
    return value;
}

std::vector<std::string> texts(const Json::Value& line, const char* name) {
    std::vector<std::string> out;
    for (const Json::Value& item : array(line, name)) {
        if (!item.isString()) refuse(std::string("\"") + name + "\" holds something not a text");
        out.push_back(item.asString());
    }
    return out;
}

uint16_t usbId(const Json::Value& line, const char* name) {
    const std::string value = text(line, name);
    if (value.size() != 4) refuse(std::string("\"") + name + "\" is not four hex digits");
    int id = 0;
    for (char c : value) {
        const int d = hexDigit(c);
        if (d < 0) refuse(std::string("\"") + name + "\" is not four hex digits");
        id = id * 16 + d;
    }
    return static_cast<uint16_t>(id);
}

uint32_t crcField(const Json::Value& line) {
    const std::string value = text(line, "crc32");
    if (value.size() != 8) refuse("\"crc32\" is not eight hex digits");
    uint32_t crc = 0;
    for (char c : value) {
        const int d = hexDigit(c);
        if (d < 0) refuse("\"crc32\" is not eight hex digits");
        crc = crc * 16 + static_cast<uint32_t>(d);
    }
    return crc;
}

// A path on a drive, relative to its root: no way out of it.
std::string drivePath(const Json::Value& line, const char* name) {
    const std::string path = text(line, name);
    if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos) {
        refuse(std::string("\"") + name + "\" is not a path inside the drive");
    }
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == "..") {
            refuse(std::string("\"") + name + "\" is not a path inside the drive");
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return path;
}

// A file's CRC-32: none for a short file, whose size alone a trace keeps
// (one written by an older recorder loses it here, as it would be recorded now).
std::optional<uint32_t> crcOf(const Json::Value& line, uint64_t size) {
    if (size < kSmallestFileWithCrc) return std::nullopt;
    return crcField(line);
}

FileState fileState(const Json::Value& item) {
    if (!item.isObject()) refuse("a file is not an object");
    FileState f;
    f.path = drivePath(item, "path");
    f.size = static_cast<uint64_t>(integer(item, "size", 0, kLargestDriveFile));
    f.crc32 = crcOf(item, f.size);
    return f;
}

// The files left on the drives: names and sizes.
std::vector<DriveFiles> leftFiles(const Json::Value& line) {
    std::vector<DriveFiles> left;
    for (const Json::Value& item : array(line, "left")) {
        if (!item.isObject()) refuse("a drive in \"left\" is not an object");
        DriveFiles drive;
        drive.drive = static_cast<int>(integer(item, "drive", 1, 1000));
        for (const Json::Value& file : array(item, "files")) {
            if (!file.isObject()) refuse("a file is not an object");
            FileState f;
            f.path = drivePath(file, "path");
            f.size = static_cast<uint64_t>(integer(file, "size", 0, kLargestDriveFile));
            drive.files.push_back(std::move(f));
        }
        std::sort(drive.files.begin(), drive.files.end(),
                  [](const FileState& a, const FileState& b) { return a.path < b.path; });
        left.push_back(std::move(drive));
    }
    return left;
}

void readOutcome(const Json::Value& line, Outcome& outcome, bool exitRequired) {
    if (exitRequired || has(line, "exit")) {
        outcome.exitCode = static_cast<int>(integer(line, "exit", -1, 255));
    }
    if (has(line, "title")) outcome.title = text(line, "title");
    if (has(line, "detail")) outcome.detail = text(line, "detail");
    if (has(line, "left")) outcome.left = leftFiles(line);
}

TreeState treeState(const Json::Value& line) {
    TreeState tree;
    if (has(line, "folders")) {
        for (const Json::Value& item : array(line, "folders")) {
            Json::Value wrapped(Json::objectValue);
            wrapped["path"] = item;
            tree.folders.push_back(drivePath(wrapped, "path"));
        }
    }
    if (has(line, "files")) {
        for (const Json::Value& item : array(line, "files")) tree.files.push_back(fileState(item));
    }
    return tree;
}

}  // namespace

// --- Lines --------------------------------------------------------------------------

// What a line says on its own: types, ranges, lengths. What it says about the
// lines before it (threads named, handles open, drives) is Checker's.
void readEntry(const Json::Value& line, Entry& e) {
    if (!line.isObject()) refuse("not an object");
    const std::string op = text(line, "op");
    // A person writing an expectation need not say when.
    e.t = op == "expect" ? integerOr(line, "t", 0, int64_t{1} << 50, 0)
                         : integer(line, "t", 0, int64_t{1} << 50);
    auto threadOf = [&] { e.thread = static_cast<int>(integer(line, "th", 1, 100000)); };
    auto handleOf = [&] { e.handle = static_cast<int>(integer(line, "h", 1, INT32_MAX)); };
    auto driveOf = [&] { e.drive = static_cast<int16_t>(integer(line, "drive", 1, 1000)); };
    if (op == "thread") {
        e.op = Op::Thread;
        threadOf();
        e.more().texts = {text(line, "name")};
    } else if (op == "open") {
        e.op = Op::Open;
        threadOf();
        e.vendorId = usbId(line, "vid");
        e.productId = usbId(line, "pid");
        if (has(line, "h")) {
            handleOf();
        } else {
            EntryDetail& d = e.more();
            d.error = text(line, "error");
            d.errorNumber = static_cast<int>(integerOr(line, "errno", 0, 4095, 0));
            d.permissionNode = textOr(line, "node", "");
        }
    } else if (op == "write") {
        e.op = Op::Write;
        threadOf();
        handleOf();
        e.bytes = fromHex(textView(line, "hex"));
        e.length = static_cast<int16_t>(integer(line, "n", 1, kLargestReport));
        if (static_cast<size_t>(e.length) != e.bytes.size()) {
            refuse("\"n\" says " + std::to_string(e.length) + " bytes, \"hex\" holds " +
                   std::to_string(e.bytes.size()));
        }
        e.result = static_cast<int16_t>(integerOr(line, "result", -1, e.length, e.length));
        if (has(line, "error")) e.more().error = text(line, "error");
    } else if (op == "read") {
        e.op = Op::Read;
        threadOf();
        handleOf();
        e.bufferSize = static_cast<uint16_t>(integer(line, "size", 1, kLargestReport));
        e.waitMs = static_cast<int>(integerOr(line, "wait", -1, INT32_MAX, -1));
        e.timeout = flag(line, "timeout", false);
        e.length = static_cast<int16_t>(integer(line, "n", -1, e.bufferSize));
        if (e.timeout && e.length != 0) refuse("a read that timed out with bytes");
        if (e.length > 0) {
            e.bytes = fromHex(textView(line, "hex"));
            if (static_cast<size_t>(e.length) != e.bytes.size()) {
                refuse("\"n\" says " + std::to_string(e.length) + " bytes, \"hex\" holds " +
                       std::to_string(e.bytes.size()));
            }
        } else if (has(line, "hex") && !text(line, "hex").empty()) {
            refuse("bytes in a read that returned none");
        }
        e.result = e.length;
    } else if (op == "close") {
        e.op = Op::Close;
        threadOf();
        handleOf();
    } else if (op == "hid_exit") {
        e.op = Op::Exit;
        threadOf();
    } else if (op == "usb") {
        e.op = Op::Usb;
        threadOf();
        e.more().texts = texts(line, "ids");
    } else if (op == "event") {
        e.op = Op::Event;
        const std::string name = text(line, "event");
        const auto known = std::find(std::begin(kEventNames), std::end(kEventNames), name);
        if (known == std::end(kEventNames)) {
            refuse("\"" + name + "\" is no device event this program knows");
        }
        e.event = static_cast<uint8_t>(known - std::begin(kEventNames));
    } else if (op == "volumes") {
        e.op = Op::Volumes;
        threadOf();
        e.ok = flag(line, "ok", true);
        if (has(line, "volumes")) {
            for (const Json::Value& item : array(line, "volumes")) {
                if (!item.isObject()) refuse("a volume is not an object");
                VolumeRecord v;
                v.drive = static_cast<int>(integer(item, "drive", 1, 1000));
                v.root = text(item, "root");
                v.label = textOr(item, "label", "");
                v.fileSystem = textOr(item, "fs", "");
                e.more().volumes.push_back(std::move(v));
            }
        }
    } else if (op == "listRoot") {
        e.op = Op::ListRoot;
        threadOf();
        driveOf();
        if (has(line, "root")) e.more().path = text(line, "root");  // as recorded, when given
        e.ok = flag(line, "ok", true);
        if (has(line, "entries")) e.more().rootEntries = texts(line, "entries");
    } else if (op == "found") {
        e.op = Op::Found;
        driveOf();
        e.more().tree = treeState(line);
    } else if (op == "wrote" || op == "copied" || op == "deleted" || op == "mkdir" ||
               op == "renamed") {
        e.op = Op::DriveChange;
        threadOf();
        driveOf();
        EntryDetail& d = e.more();
        d.kind = op;
        d.path = drivePath(line, "path");
        e.ok = flag(line, "ok", true);
        if (op == "renamed") d.to = drivePath(line, "to");
        if (op == "copied") d.tree = treeState(line);
        if (op == "wrote" && has(line, "size")) {
            FileState f;
            f.path = d.path;
            f.size = static_cast<uint64_t>(integer(line, "size", 0, kLargestDriveFile));
            f.crc32 = crcOf(line, f.size);
            d.file = f;
        }
    } else if (op == "end") {
        e.op = Op::End;
        readOutcome(line, e.more().outcome, true);
    } else if (op == "expect") {
        e.op = Op::Expect;
        readOutcome(line, e.more().outcome, false);
        const Outcome& o = e.more().outcome;
        if (!o.exitCode && !o.title && !o.detail) {
            refuse("an expectation that says nothing: give \"exit\", \"title\" or \"detail\"");
        }
        if (o.left) refuse("an expectation of the files left is not read (\"left\")");
    } else {
        refuse("\"op\" \"" + op + "\" is not known to this program");
    }
}

void readHeader(const Json::Value& line, Trace& trace) {
    if (!line.isObject() || !has(line, "about") || !has(line, "format")) {
        refuse("not a device trace: its first line does not say what it holds");
    }
    const Json::Value& format = field(line, "format");
    if (!format.isInt64()) refuse("not a device trace: \"format\" is not a number");
    if (format.asInt64() > kFormat) {
        refuse("the trace is of format " + std::to_string(format.asInt64()) +
               ", newer than this program reads (" + std::to_string(kFormat) +
               "): replay it with a newer version");
    }
    if (format.asInt64() < 1) refuse("not a device trace: no such format");
    trace.format = static_cast<int>(format.asInt64());
    trace.program = text(line, "program");
    trace.version = textOr(line, "version", "");
    if (has(line, "args")) trace.args = texts(line, "args");
    if (has(line, "timeScale")) {
        const Json::Value& scale = field(line, "timeScale");
        if (!scale.isNumeric() || !(scale.asDouble() > 0)) refuse("\"timeScale\" is not usable");
        trace.timeScale = scale.asDouble();
    }
}

}  // namespace trace

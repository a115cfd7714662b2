#include "TraceFile.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

namespace trace {

namespace {

constexpr size_t kLargestFile = size_t{512} << 20;
// A drive file a trace may name: FAT32's own limit; and all of them together.
constexpr int64_t kLargestDriveFile = (int64_t{1} << 32) - 1;
constexpr uint64_t kLargestDriveTotal = uint64_t{16} << 30;

// Why a line cannot be used; caught in parseTrace, never leaves this file.
struct Refusal {
    std::string why;
};

[[noreturn]] void refuse(std::string why) {
    throw Refusal{std::move(why)};
}

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

std::vector<uint8_t> fromHex(std::string_view text) {
    if (text.size() % 2 != 0) refuse("\"hex\" has an odd number of digits");
    if (text.size() / 2 > kLargestReport) {
        refuse("a report of " + std::to_string(text.size() / 2) +
               " bytes is longer than any HID report");
    }
    std::vector<uint8_t> bytes(text.size() / 2);
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

FileState fileState(const Json::Value& item) {
    if (!item.isObject()) refuse("a file is not an object");
    FileState f;
    f.path = drivePath(item, "path");
    f.size = static_cast<uint64_t>(integer(item, "size", 0, kLargestDriveFile));
    f.crc32 = crcField(item);
    return f;
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

// --- Lines --------------------------------------------------------------------------

// What a line says on its own: types, ranges, lengths. What it says about the
// lines before it (threads named, handles open, drives) is Checker's.
void readEntry(const Json::Value& line, Entry& e) {
    if (!line.isObject()) refuse("not an object");
    e.kind = text(line, "op");
    e.t = integer(line, "t", 0, int64_t{1} << 50);
    const std::string& op = e.kind;
    auto threadOf = [&] { e.thread = static_cast<int>(integer(line, "th", 1, 100000)); };
    auto handleOf = [&] { e.handle = static_cast<int>(integer(line, "h", 1, INT32_MAX)); };
    auto driveOf = [&] { e.drive = static_cast<int>(integer(line, "drive", 1, 1000)); };
    if (op == "thread") {
        e.op = Op::Thread;
        threadOf();
        e.texts = {text(line, "name")};
    } else if (op == "open") {
        e.op = Op::Open;
        threadOf();
        e.vendorId = usbId(line, "vid");
        e.productId = usbId(line, "pid");
        if (has(line, "h")) {
            handleOf();
        } else {
            e.error = text(line, "error");
            e.errorNumber = static_cast<int>(integerOr(line, "errno", 0, 4095, 0));
            e.permissionNode = textOr(line, "node", "");
        }
    } else if (op == "write") {
        e.op = Op::Write;
        threadOf();
        handleOf();
        e.bytes = fromHex(textView(line, "hex"));
        e.length = static_cast<int>(integer(line, "n", 1, kLargestReport));
        if (static_cast<size_t>(e.length) != e.bytes.size()) {
            refuse("\"n\" says " + std::to_string(e.length) + " bytes, \"hex\" holds " +
                   std::to_string(e.bytes.size()));
        }
        e.result = static_cast<int>(integerOr(line, "result", -1, e.length, e.length));
        e.error = textOr(line, "error", "");
    } else if (op == "read") {
        e.op = Op::Read;
        threadOf();
        handleOf();
        e.bufferSize = static_cast<int>(integer(line, "size", 1, kLargestReport));
        e.waitMs = static_cast<int>(integerOr(line, "wait", -1, INT32_MAX, -1));
        e.timeout = flag(line, "timeout", false);
        e.length = static_cast<int>(integer(line, "n", -1, e.bufferSize));
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
        e.texts = texts(line, "ids");
    } else if (op == "event") {
        e.op = Op::Event;
        e.texts = {text(line, "event")};
        if (e.texts[0] != "DevNodesChanged" && e.texts[0] != "VolumeArrival" &&
            e.texts[0] != "VolumeRemoveComplete") {
            refuse("\"" + e.texts[0] + "\" is no device event this program knows");
        }
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
                e.volumes.push_back(std::move(v));
            }
        }
    } else if (op == "listRoot") {
        e.op = Op::ListRoot;
        threadOf();
        driveOf();
        e.path = textOr(line, "root", "");  // the root as recorded, when given
        e.ok = flag(line, "ok", true);
        if (has(line, "entries")) e.rootEntries = texts(line, "entries");
    } else if (op == "found") {
        e.op = Op::Found;
        driveOf();
        e.tree = treeState(line);
    } else if (op == "wrote" || op == "copied" || op == "deleted" || op == "mkdir" ||
               op == "renamed") {
        e.op = Op::DriveChange;
        threadOf();
        driveOf();
        e.path = drivePath(line, "path");
        e.ok = flag(line, "ok", true);
        if (op == "renamed") e.to = drivePath(line, "to");
        if (op == "copied") e.tree = treeState(line);
        if (op == "wrote" && has(line, "size")) {
            FileState f;
            f.path = e.path;
            f.size = static_cast<uint64_t>(integer(line, "size", 0, kLargestDriveFile));
            f.crc32 = crcField(line);
            e.file = f;
        }
    } else if (op == "end") {
        e.op = Op::End;
        e.exitCode = static_cast<int>(integer(line, "exit", -1, 255));
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
    trace.program = text(line, "program");
    trace.version = textOr(line, "version", "");
    if (has(line, "args")) trace.args = texts(line, "args");
    if (has(line, "timeScale")) {
        const Json::Value& scale = field(line, "timeScale");
        if (!scale.isNumeric() || !(scale.asDouble() > 0)) refuse("\"timeScale\" is not usable");
        trace.timeScale = scale.asDouble();
    }
}

// The lines in their order: what each says about the ones before it.
struct Checker {
    explicit Checker(Trace& t) : trace(t) {}
    Trace& trace;
    std::set<int> openHandles;
    std::map<int, size_t> usedDrives;  // and the first line naming each
    uint64_t foundBytes = 0;

    void root(int drive, const std::string& root) {
        auto known = trace.driveRoots.find(drive);
        if (known != trace.driveRoots.end() && known->second != root) {
            refuse("drive " + std::to_string(drive) + " has two roots");
        }
        trace.driveRoots[drive] = root;
    }

    void check(Entry& e) {
        if (trace.complete) refuse("a line after the end line");
        if (e.op == Op::Thread) {
            if (!trace.threads.emplace(e.thread, e.texts[0]).second) {
                refuse("thread " + std::to_string(e.thread) + " named twice");
            }
            return;
        }
        if (e.thread && !trace.threads.count(e.thread)) {
            refuse("thread " + std::to_string(e.thread) + " was never named");
        }
        if (e.drive) usedDrives.emplace(e.drive, e.line);
        switch (e.op) {
            case Op::Open:
                if (e.handle && !openHandles.insert(e.handle).second) {
                    refuse("handle " + std::to_string(e.handle) + " is already open");
                }
                break;
            case Op::Write:
            case Op::Read:
            case Op::Close:
                if (!openHandles.count(e.handle)) {
                    refuse("handle " + std::to_string(e.handle) + " is not open here");
                }
                if (e.op == Op::Close) openHandles.erase(e.handle);
                break;
            case Op::Volumes:
                for (const VolumeRecord& v : e.volumes) root(v.drive, v.root);
                break;
            case Op::ListRoot:
                if (!e.path.empty()) root(e.drive, e.path);
                e.path.clear();
                break;
            case Op::Found:
                for (const FileState& f : e.tree.files) foundBytes += f.size;
                if (foundBytes > kLargestDriveTotal) {
                    refuse("the drive files found add up to over 16 GB");
                }
                break;
            case Op::End:
                trace.complete = true;
                break;
            default:
                break;
        }
    }
};

// Lines [from, to) read on their own into entries[i - 1]; why not in refusals.
void readLines(const std::vector<std::string_view>& lines, size_t from, size_t to,
               std::vector<Entry>& entries, std::vector<std::string>& refusals) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = 64;
    builder.settings_["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (size_t i = from; i < to; ++i) {
        Entry& e = entries[i - 1];
        e.line = i + 1;
        // jsoncpp throws, too, for lists nested deeper than its limit.
        try {
            Json::Value value;
            std::string why;
            if (!reader->parse(lines[i].data(), lines[i].data() + lines[i].size(), &value, &why)) {
                refusals[i - 1] = "not JSON: " + why.substr(0, why.find('\n'));
                continue;
            }
            readEntry(value, e);
        } catch (const Refusal& refusal) {
            refusals[i - 1] = refusal.why;
        } catch (const std::exception& ex) {
            refusals[i - 1] = std::string("not readable: ") + ex.what();
        }
    }
}

}  // namespace

std::optional<Trace> parseTrace(std::string_view text, std::string* error) {
    auto fail = [&](size_t line, const std::string& why) -> std::optional<Trace> {
        if (error) *error = "line " + std::to_string(line) + ": " + why;
        return std::nullopt;
    };
    if (text.empty()) return fail(1, "the trace is empty");
    std::vector<std::string_view> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            return fail(lines.size() + 1, "the trace is cut off in the middle of this line");
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }

    Trace trace;
    try {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder.settings_["stackLimit"] = 64;
        builder.settings_["collectComments"] = false;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value header;
        if (!reader->parse(lines[0].data(), lines[0].data() + lines[0].size(), &header, nullptr)) {
            return fail(1, "not a device trace: not JSON Lines");
        }
        readHeader(header, trace);
    } catch (const Refusal& r) {
        return fail(1, r.why);
    } catch (const std::exception& e) {
        return fail(1, std::string("not readable: ") + e.what());
    }

    // Reading a line with jsoncpp is most of the work, and the lines stand
    // alone: they are read on every core, then checked in their order.
    const size_t count = lines.size() - 1;
    std::vector<Entry> entries(count);
    std::vector<std::string> refusals(count);
    constexpr size_t kLinesPerThread = 4000;
    const size_t threads =
        std::clamp<size_t>(std::min<size_t>(std::thread::hardware_concurrency(), 4), 1,
                           (count + kLinesPerThread - 1) / kLinesPerThread);
    std::vector<std::thread> workers;
    const size_t chunk = threads ? (count + threads - 1) / threads : count;
    for (size_t k = 1; k < threads; ++k) {
        const size_t from = 1 + k * chunk;
        const size_t to = std::min(lines.size(), from + chunk);
        if (from < to) {
            workers.emplace_back([&, from, to] { readLines(lines, from, to, entries, refusals); });
        }
    }
    readLines(lines, 1, std::min(lines.size(), 1 + chunk), entries, refusals);
    for (std::thread& w : workers) w.join();

    Checker checker(trace);
    for (size_t i = 0; i < count; ++i) {
        if (!refusals[i].empty()) return fail(i + 2, refusals[i]);
        try {
            checker.check(entries[i]);
        } catch (const Refusal& r) {
            return fail(i + 2, r.why);
        }
    }
    trace.entries = std::move(entries);
    for (const auto& [drive, line] : checker.usedDrives) {
        if (!trace.driveRoots.count(drive)) {
            return fail(line, "drive " + std::to_string(drive) + " is in no volume list");
        }
    }
    trace.lines = lines.size();
    return trace;
}

bool readTraceText(const std::string& path, std::string* text, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string content;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok && error) *error = "not a regular file";
    if (ok && static_cast<uint64_t>(st.st_size) > kLargestFile) {
        ok = false;
        if (error) *error = "larger than any trace (512 MB)";
    }
    if (ok) content.reserve(static_cast<size_t>(st.st_size));
    char buffer[1 << 16];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            if (error) *error = std::strerror(errno);
            break;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() > kLargestFile) {
            ok = false;
            if (error) *error = "larger than any trace (512 MB)";
        }
    }
    ::close(fd);
    if (ok) *text = std::move(content);
    return ok;
}

std::optional<Trace> readTraceFile(const std::string& path, std::string* error) {
    std::string text;
    if (!readTraceText(path, &text, error)) return std::nullopt;
    return parseTrace(text, error);
}

std::string toHex(const uint8_t* data, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return out;
}

std::string crcText(uint32_t crc) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", crc);
    return text;
}

std::string describeFile(const std::optional<FileState>& file, const std::string& path) {
    if (!file) return path + " (not there)";
    return path + " (" + std::to_string(file->size) + " bytes, CRC-32 " + crcText(file->crc32) +
           ")";
}

std::string describe(const Entry& e) {
    auto handle = [&] { return " on handle " + std::to_string(e.handle); };
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", e.vendorId, e.productId);
    switch (e.op) {
        case Op::Thread:
            return "named thread " + std::to_string(e.thread);
        case Op::Open:
            return std::string("opened ") + ids + (e.handle ? "" : " (refused: " + e.error + ")");
        case Op::Write:
            return "wrote " + toHex(e.bytes.data(), e.bytes.size());
        case Op::Read:
            if (e.timeout) return "read" + handle() + " (timed out)";
            if (e.length < 0) return "read" + handle() + " (error)";
            return "read" + handle() + ": " + toHex(e.bytes.data(), e.bytes.size());
        case Op::Close:
            return "closed handle " + std::to_string(e.handle);
        case Op::Exit:
            return "called hid_exit";
        case Op::Usb:
            return "listed the USB devices";
        case Op::Event:
            return "device event " + (e.texts.empty() ? std::string("?") : e.texts[0]);
        case Op::Volumes:
            return "listed the volumes";
        case Op::ListRoot:
            return "listed the root of drive " + std::to_string(e.drive);
        case Op::Found:
            return "found files on drive " + std::to_string(e.drive);
        case Op::DriveChange:
            if (e.kind == "wrote") return "wrote " + describeFile(e.file, e.path);
            if (e.kind == "copied") {
                return "copied " + e.path + " (" + std::to_string(e.tree.files.size()) + " files)";
            }
            if (e.kind == "renamed") return "renamed " + e.path + " to " + e.to;
            return e.kind + " " + e.path;
        case Op::End:
            return "ended the run";
    }
    return "?";
}

}  // namespace trace

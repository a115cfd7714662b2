#include "TraceFile.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>
#include <set>

#include "TraceLines.h"

namespace trace {

namespace {

constexpr uint64_t kLargestFile = uint64_t{512} << 20;
// All the drive files a trace may name, together.
constexpr uint64_t kLargestDriveTotal = uint64_t{16} << 30;
// No line the recorders write comes near these (a drive's found files are
// the longest, about 70 bytes and 8 values a file); beyond them a line could
// make jsoncpp take many times its length.
constexpr size_t kLongestLine = size_t{4} << 20;
constexpr size_t kMostValues = 200000;
// A kept line costs about its own length: the shortest a trace can keep is
// 31 bytes.
static_assert(sizeof(Entry) <= 64);
// What the lines read may keep: twice what was read, and a little more.
constexpr uint64_t kKeptSlack = uint64_t{64} << 20;

size_t heapOf(const std::string& s) {
    return s.capacity() > 15 ? s.capacity() + 1 : 0;
}

// About what an entry keeps in memory.
uint64_t keptBytes(const Entry& e) {
    uint64_t kept = sizeof(Entry) + e.bytes.size();
    if (!e.detail) return kept;
    const EntryDetail& d = *e.detail;
    kept += sizeof(EntryDetail) + heapOf(d.kind) + heapOf(d.error) + heapOf(d.permissionNode) +
            heapOf(d.path) + heapOf(d.to);
    for (const std::string& t : d.texts) kept += sizeof(std::string) + heapOf(t);
    for (const std::string& t : d.rootEntries) kept += sizeof(std::string) + heapOf(t);
    for (const std::string& t : d.tree.folders) kept += sizeof(std::string) + heapOf(t);
    for (const FileState& f : d.tree.files) kept += sizeof(FileState) + heapOf(f.path);
    for (const VolumeRecord& v : d.volumes) {
        kept += sizeof(VolumeRecord) + heapOf(v.root) + heapOf(v.label) + heapOf(v.fileSystem);
    }
    if (d.outcome.left) {
        for (const DriveFiles& drive : *d.outcome.left) {
            for (const FileState& f : drive.files) kept += sizeof(FileState) + heapOf(f.path);
        }
    }
    return kept;
}

// The values a line holds, or more: every object, list and separator.
size_t valuesIn(std::string_view line) {
    size_t n = 0;
    for (char c : line) n += c == '{' || c == '[' || c == ',' || c == ':';
    return n;
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
            if (!trace.threads.emplace(e.thread, e.more().texts[0]).second) {
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
                for (const VolumeRecord& v : e.more().volumes) root(v.drive, v.root);
                break;
            case Op::ListRoot:
                if (e.detail && !e.detail->path.empty()) root(e.drive, e.detail->path);
                if (e.detail) e.detail->path.clear();
                break;
            case Op::Found:
                for (const FileState& f : e.more().tree.files) foundBytes += f.size;
                if (foundBytes > kLargestDriveTotal) {
                    refuse("the drive files found add up to over 16 GB");
                }
                break;
            case Op::End:
            case Op::Expect:
                trace.complete = true;
                trace.expected = e.op == Op::Expect;
                if (const auto& left = e.more().outcome.left) {
                    for (const DriveFiles& d : *left) usedDrives.emplace(d.drive, e.line);
                }
                break;
            default:
                break;
        }
    }
};

// Reads a trace line by line: each line is read, checked and kept (or the
// reading stops there) before the next is looked at.
class Reader {
  public:
    Reader() : checker_(trace_) {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder.settings_["stackLimit"] = 64;
        builder.settings_["collectComments"] = false;
        json_.reset(builder.newCharReader());
    }

    // False, with `why_`, at a line that cannot be used.
    bool add(std::string_view line) {
        ++count_;
        read_ += line.size() + 1;
        try {
            if (line.size() > kLongestLine) {
                refuse("a line longer than any trace has (" + std::to_string(kLongestLine >> 20) +
                       " MB)");
            }
            if (valuesIn(line) > kMostValues) {
                refuse("a line of more than " + std::to_string(kMostValues) + " values");
            }
            Json::Value value;
            std::string why;
            if (!json_->parse(line.data(), line.data() + line.size(), &value, &why)) {
                if (count_ == 1)
                    refuse("not a device trace: not JSON Lines (" + oneLine(why) + ")");
                refuse("not JSON: " + oneLine(why));
            }
            if (count_ == 1) {
                readHeader(value, trace_);
                return true;
            }
            Entry& e = trace_.entries.emplace_back();
            e.line = static_cast<uint32_t>(count_);
            readEntry(value, e);
            checker_.check(e);
            kept_ += keptBytes(e) + (e.op == Op::Thread ? 96 : 0);
            if (kept_ > 2 * read_ + kKeptSlack) {
                refuse("the lines up to here would take " + std::to_string(kept_ >> 20) +
                       " MB of memory, more than a trace of their size may");
            }
            return true;
        } catch (const Refusal& r) {
            why_ = r.why;
        } catch (const std::bad_alloc&) {
            why_ = "not enough memory to read the trace";
        } catch (const std::exception& ex) {
            // jsoncpp throws, too, for lists nested deeper than its limit.
            why_ = std::string("not readable: ") + ex.what();
        }
        return false;
    }

    // The text is over: the trace, or none with `error`.
    std::optional<Trace> finish(std::string* error) {
        for (const auto& [drive, line] : checker_.usedDrives) {
            if (!trace_.driveRoots.count(drive)) {
                return fail(line, "drive " + std::to_string(drive) + " is in no volume list",
                            error);
            }
        }
        trace_.lines = count_;
        return std::move(trace_);
    }

    std::optional<Trace> fail(size_t line, const std::string& why, std::string* error) {
        if (error) *error = "line " + std::to_string(line) + ": " + why;
        return std::nullopt;
    }
    std::optional<Trace> failHere(std::string* error) { return fail(count_, why_, error); }
    std::optional<Trace> failNext(const std::string& why, std::string* error) {
        return fail(count_ + 1, why, error);
    }
    size_t count() const { return count_; }

  private:
    // jsoncpp's message, whole, on one line.
    static std::string oneLine(std::string why) {
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        for (char& c : why) {
            if (c == '\n') c = ' ';
        }
        return why;
    }

    Trace trace_;
    Checker checker_;
    std::unique_ptr<Json::CharReader> json_;
    size_t count_ = 0;
    uint64_t read_ = 0;
    uint64_t kept_ = 0;
    std::string why_;
};

constexpr const char* kCutOff = "the trace is cut off in the middle of this line";

}  // namespace

std::optional<Trace> parseTrace(std::string_view text, std::string* error) {
    try {
        Reader reader;
        if (text.empty()) return reader.failNext("the trace is empty", error);
        for (size_t at = 0; at < text.size();) {
            const size_t end = text.find('\n', at);
            if (end == std::string_view::npos) return reader.failNext(kCutOff, error);
            if (!reader.add(text.substr(at, end - at))) return reader.failHere(error);
            at = end + 1;
        }
        return reader.finish(error);
    } catch (const std::bad_alloc&) {
        if (error) *error = "not enough memory to read the trace";
        return std::nullopt;
    }
}

int openTraceFile(const std::string& path, std::string* error) {
    // Not blocking: opening a FIFO for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return -1;
    }
    struct stat st {};
    const char* why = nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > kLargestFile) {
        why = "larger than any trace (512 MB)";
    }
    if (why) {
        ::close(fd);
        if (error) *error = why;
        return -1;
    }
    return fd;
}

std::optional<Trace> readTrace(int fd, std::string* error) {
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    try {
        Reader reader;
        // A window of the file: at most one line and one read beyond it.
        std::string window;
        size_t at = 0;
        uint64_t total = 0;
        char buffer[1 << 16];
        for (;;) {
            const size_t end = window.find('\n', at);
            if (end != std::string::npos) {
                if (!reader.add(std::string_view(window).substr(at, end - at))) {
                    return reader.failHere(error);
                }
                at = end + 1;
                continue;
            }
            if (window.size() - at > kLongestLine) {
                return reader.failNext("a line longer than any trace has (" +
                                           std::to_string(kLongestLine >> 20) + " MB)",
                                       error);
            }
            window.erase(0, at);
            at = 0;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0) return reader.failNext(std::strerror(errno), error);
            if (n == 0) break;
            total += static_cast<uint64_t>(n);
            if (total > kLargestFile) {
                return reader.failNext("larger than any trace (512 MB)", error);
            }
            window.append(buffer, static_cast<size_t>(n));
        }
        if (!window.empty()) return reader.failNext(kCutOff, error);
        if (reader.count() == 0) return reader.failNext("the trace is empty", error);
        return reader.finish(error);
    } catch (const std::bad_alloc&) {
        if (error) *error = "not enough memory to read the trace";
        return std::nullopt;
    }
}

std::optional<Trace> readTraceFile(const std::string& path, std::string* error) {
    const int fd = openTraceFile(path, error);
    if (fd < 0) return std::nullopt;
    return readTrace(fd, error);
}

namespace {

// A status text on one line: its line breaks as "\\n".
std::string escapeLines(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

const char* Entry::eventName() const {
    return kEventNames[event < std::size(kEventNames) ? event : 0];
}

const EntryDetail& Entry::more() const {
    static const EntryDetail none;
    return detail ? *detail : none;
}

EntryDetail& Entry::more() {
    if (!detail) detail = std::make_unique<EntryDetail>();
    return *detail;
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
    return path + " (" + std::to_string(file->size) + " bytes" +
           (file->crc32 ? ", CRC-32 " + crcText(*file->crc32) : std::string()) + ")";
}

std::string describeOutcome(const Outcome& o) {
    std::string text;
    auto add = [&](const std::string& piece) { text += (text.empty() ? "" : ", ") + piece; };
    if (o.exitCode) add("exit status " + std::to_string(*o.exitCode));
    if (o.title) add("title \"" + escapeLines(*o.title) + "\"");
    if (o.detail) add("detail \"" + escapeLines(*o.detail) + "\"");
    if (o.left) {
        for (const DriveFiles& d : *o.left) {
            add(std::to_string(d.files.size()) + " files left on drive " + std::to_string(d.drive));
        }
    }
    return text.empty() ? "nothing" : text;
}

std::string describe(const Entry& e) {
    const EntryDetail& d = e.more();
    auto handle = [&] { return " on handle " + std::to_string(e.handle); };
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", e.vendorId, e.productId);
    switch (e.op) {
        case Op::Thread:
            return "named thread " + std::to_string(e.thread);
        case Op::Open:
            return std::string("opened ") + ids + (e.handle ? "" : " (refused: " + d.error + ")");
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
            return std::string("device event ") + e.eventName();
        case Op::Volumes:
            return "listed the volumes";
        case Op::ListRoot:
            return "listed the root of drive " + std::to_string(e.drive);
        case Op::Found:
            return "found files on drive " + std::to_string(e.drive);
        case Op::DriveChange:
            if (d.kind == "wrote") return "wrote " + describeFile(d.file, d.path);
            if (d.kind == "copied") {
                return "copied " + d.path + " (" + std::to_string(d.tree.files.size()) + " files)";
            }
            if (d.kind == "renamed") return "renamed " + d.path + " to " + d.to;
            return d.kind + " " + d.path;
        case Op::End:
        case Op::Expect:
            return "ended the run";
    }
    return "?";
}

}  // namespace trace

#include "TraceFile.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <set>
#include <thread>

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

// Reads a trace a batch of lines at a time: the lines of a batch are read
// on every core (jsoncpp is most of the work, and a line stands alone), then
// checked in their order and kept, and the reading stops at the first line
// refused. Memory: the lines kept, and one batch.
class Reader {
  public:
    Reader() : checker_(trace_) {}

    // Queues `line`, whose text must stay until the next flush(). False,
    // with why, at a line that cannot be used.
    bool add(std::string_view line) {
        batch_.push_back(line);
        return batch_.size() < kBatchLines || flush();
    }

    // Reads, checks and keeps the lines queued.
    bool flush() {
        size_t from = 0;
        if (count_ == 0 && !batch_.empty()) {
            ++count_;
            read_ += batch_[0].size() + 1;
            try {
                readHeader(parse(*newJsonReader(), batch_[0], true), trace_);
            } catch (...) {
                why_ = whyOf(std::current_exception());
                return false;
            }
            from = 1;
        }
        const size_t n = batch_.size() - from;
        std::vector<Entry> entries(n);
        std::vector<std::string> refusals(n);
        readInParallel(from, entries, refusals);
        for (size_t i = 0; i < n; ++i) {
            ++count_;
            read_ += batch_[from + i].size() + 1;
            if (!refusals[i].empty()) {
                why_ = refusals[i];
                return false;
            }
            Entry& e = entries[i];
            e.line = static_cast<uint32_t>(count_);
            try {
                checker_.check(e);
                kept_ += keptBytes(e) + (e.op == Op::Thread ? 96 : 0);
                if (kept_ > 2 * read_ + kKeptSlack) {
                    refuse("the lines up to here would take " + std::to_string(kept_ >> 20) +
                           " MB of memory, more than a trace of their size may");
                }
                trace_.entries.push_back(std::move(e));
            } catch (...) {
                why_ = whyOf(std::current_exception());
                return false;
            }
        }
        batch_.clear();
        return true;
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
    static constexpr size_t kBatchLines = 8192;

    static std::unique_ptr<Json::CharReader> newJsonReader() {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder.settings_["stackLimit"] = 64;
        builder.settings_["collectComments"] = false;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }

    // jsoncpp's message, whole, on one line.
    static std::string oneLine(std::string why) {
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        for (char& c : why) {
            if (c == '\n') c = ' ';
        }
        return why;
    }

    static Json::Value parse(Json::CharReader& json, std::string_view line, bool first) {
        if (line.size() > kLongestLine) {
            refuse("a line longer than any trace has (" + std::to_string(kLongestLine >> 20) +
                   " MB)");
        }
        if (valuesIn(line) > kMostValues) {
            refuse("a line of more than " + std::to_string(kMostValues) + " values");
        }
        Json::Value value;
        std::string why;
        if (!json.parse(line.data(), line.data() + line.size(), &value, &why)) {
            if (first) refuse("not a device trace: not JSON Lines (" + oneLine(why) + ")");
            refuse("not JSON: " + oneLine(why));
        }
        return value;
    }

    static std::string whyOf(std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const Refusal& r) {
            return r.why;
        } catch (const std::bad_alloc&) {
            return "not enough memory to read the trace";
        } catch (const std::exception& ex) {
            // jsoncpp throws, too, for lists nested deeper than its limit.
            return std::string("not readable: ") + ex.what();
        } catch (...) {
            return "not readable";
        }
    }

    // Lines [from + first, from + last) of the batch into entries[first, last).
    void readLines(size_t from, size_t first, size_t last, std::vector<Entry>& entries,
                   std::vector<std::string>& refusals) const {
        std::unique_ptr<Json::CharReader> json;
        try {
            json = newJsonReader();
        } catch (...) {
            for (size_t i = first; i < last; ++i) refusals[i] = whyOf(std::current_exception());
            return;
        }
        for (size_t i = first; i < last; ++i) {
            try {
                readEntry(parse(*json, batch_[from + i], false), entries[i]);
            } catch (...) {
                refusals[i] = whyOf(std::current_exception());
                // Nothing after a refused line is looked at.
                for (size_t j = i + 1; j < last; ++j) refusals[j] = "not read";
                return;
            }
        }
    }

    void readInParallel(size_t from, std::vector<Entry>& entries,
                        std::vector<std::string>& refusals) const {
        const size_t n = entries.size();
        const size_t cores = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
        const size_t workers = n < 1024 ? 1 : cores;
        const size_t chunk = (n + workers - 1) / std::max<size_t>(workers, 1);
        std::vector<std::thread> threads;
        size_t done = chunk;
        for (size_t start = chunk; start < n; start += chunk) {
            try {
                threads.emplace_back([&, start] {
                    readLines(from, start, std::min(n, start + chunk), entries, refusals);
                });
                done = start + chunk;
            } catch (...) {
                break;  // no thread to be had: read here
            }
        }
        readLines(from, 0, std::min(n, chunk), entries, refusals);
        if (done < n) readLines(from, done, n, entries, refusals);
        for (std::thread& t : threads) t.join();
    }

    Trace trace_;
    Checker checker_;
    std::vector<std::string_view> batch_;
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
        size_t at = 0;
        for (size_t end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
            if (!reader.add(text.substr(at, end - at))) return reader.failHere(error);
        }
        if (!reader.flush()) return reader.failHere(error);
        if (at < text.size()) return reader.failNext(kCutOff, error);
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
        // A window of the file: the lines of one read, and the start of the
        // next line.
        constexpr size_t kChunk = size_t{1} << 20;
        std::string window;
        uint64_t total = 0;
        for (;;) {
            size_t at = 0;
            for (size_t end; (end = window.find('\n', at)) != std::string::npos; at = end + 1) {
                if (!reader.add(std::string_view(window).substr(at, end - at))) {
                    return reader.failHere(error);
                }
            }
            // The lines queued point into the window: read before it changes.
            if (!reader.flush()) return reader.failHere(error);
            window.erase(0, at);
            if (window.size() > kLongestLine) {
                return reader.failNext("a line longer than any trace has (" +
                                           std::to_string(kLongestLine >> 20) + " MB)",
                                       error);
            }
            const size_t kept = window.size();
            window.resize(kept + kChunk);
            ssize_t n;
            do {
                n = ::read(fd, window.data() + kept, kChunk);
            } while (n < 0 && (errno == EINTR || errno == EAGAIN));
            const int readError = errno;
            window.resize(kept + static_cast<size_t>(std::max<ssize_t>(n, 0)));
            if (n < 0) return reader.failNext(std::strerror(readError), error);
            if (n == 0) break;
            total += static_cast<uint64_t>(n);
            if (total > kLargestFile) {
                return reader.failNext("larger than any trace (512 MB)", error);
            }
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

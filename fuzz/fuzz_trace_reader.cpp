// The device trace reader (--replay-trace): any text, line by line, as
// parseTrace reads a trace file, and what a replay relies on in what it
// accepts.
#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "crc/crc32.h"
#include "trace/TraceFile.h"

namespace {

using fuzzing::check;

// A drive path the replay may join to its drive folder: no way out of it.
bool staysInside(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<trace::Trace> parsed = trace::parseTrace(text, &error);
    if (!parsed) {
        check(error.rfind("line ", 0) == 0);
        return 0;
    }
    size_t line = 1;
    std::set<int> open;
    for (const trace::Entry& e : parsed->entries) {
        check(e.line > line);
        line = e.line;
        check(e.t >= 0);
        if (e.thread) check(parsed->threads.count(e.thread) == 1);
        switch (e.op) {
            case trace::Op::Open:
                if (e.handle) check(open.insert(e.handle).second);
                break;
            case trace::Op::Write:
                // A replay compares and answers with these: never beyond a report.
                check(open.count(e.handle) == 1);
                check(e.bytes.size() == static_cast<size_t>(e.length));
                check(e.length >= 1 && static_cast<size_t>(e.length) <= trace::kLargestReport);
                check(e.result <= e.length);
                break;
            case trace::Op::Read:
                check(open.count(e.handle) == 1);
                check(e.length <= e.bufferSize);
                check(e.length <= 0 || e.bytes.size() == static_cast<size_t>(e.length));
                check(e.length > 0 || e.bytes.empty());
                check(!e.timeout || e.length == 0);
                break;
            case trace::Op::Close:
                check(open.erase(e.handle) == 1);
                break;
            case trace::Op::Found:
            case trace::Op::ListRoot:
            case trace::Op::DriveChange:
                check(parsed->driveRoots.count(e.drive) == 1);
                for (const std::string& folder : e.more().tree.folders) {
                    check(staysInside(folder));
                }
                if (e.op == trace::Op::DriveChange) check(staysInside(e.more().path));
                for (const trace::FileState& f : e.more().tree.files) {
                    check(staysInside(f.path));
                    // A short file's CRC would give its contents back: never kept.
                    check(f.crc32.has_value() == (f.size >= trace::kSmallestFileWithCrc));
                    // The replay makes these files up: their CRC must come out.
                    if (f.crc32 && f.size <= 4096) {
                        const auto tail = crc::crc32ContentTail(f.size, *f.crc32);
                        check(tail && tail->size() == 4);
                        std::vector<uint8_t> content(f.size, 0);
                        std::copy(tail->begin(), tail->end(), content.end() - 4);
                        check(crc::crc32(content.data(), content.size()) == *f.crc32);
                    }
                }
                break;
            default:
                break;
        }
    }
    check(!parsed->complete || parsed->entries.back().op == trace::Op::End ||
          parsed->entries.back().op == trace::Op::Expect);
    check(parsed->expected == (parsed->complete && parsed->entries.back().op == trace::Op::Expect));
    return 0;
}

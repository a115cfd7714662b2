// Memory and time of reading a device trace (--replay-trace), for traces of
// 1, 10 and 100 MB: like the goldens (reports written and read), and hostile
// (lines the reader refuses, short lines it keeps, one endless line), and
// 10 million short lines. Each is read in a child process of its own, whose
// peak resident memory the system reports; the reader must stay within about
// twice the file's size plus a constant.
//   bench_trace_memory [--largest=MB]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "trace/TraceFile.h"

namespace {

constexpr const char* kHeader =
    "{\"about\":\"Quorta GPS device trace\",\"format\":2,\"program\":\"quorta-updater\"}\n"
    "{\"name\":\"main\",\"op\":\"thread\",\"t\":0,\"th\":1}\n"
    "{\"h\":1,\"op\":\"open\",\"pid\":\"0055\",\"t\":0,\"th\":1,\"vid\":\"2b29\"}\n";

// Writes lines from `next` to `path` until it holds `bytes`, then `last`.
void writeTrace(const std::string& path, uint64_t bytes, const char* first,
                const std::function<std::string(uint64_t)>& next, const char* last) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    uint64_t written = std::fputs(first, f) >= 0 ? std::strlen(first) : 0;
    for (uint64_t i = 0; written < bytes; ++i) {
        const std::string line = next(i);
        std::fwrite(line.data(), 1, line.size(), f);
        written += line.size();
    }
    std::fputs(last, f);
    std::fclose(f);
}

std::string hexOf(uint64_t seed, size_t bytes) {
    std::string hex;
    for (size_t i = 0; i < bytes; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned>((seed * 131 + i * 7) & 0xff));
        hex += b;
    }
    return hex;
}

struct Result {
    double ms = 0;
    long peakKb = 0;
    std::string said;
};

Result readInChild(const std::string& path) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) std::exit(1);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        std::string error;
        const std::optional<trace::Trace> t = trace::readTraceFile(path, &error);
        const std::string said =
            t ? "read " + std::to_string(t->entries.size()) + " lines" : "refused: " + error;
        (void)!::write(pipeFds[1], said.data(), std::min<size_t>(said.size(), 200));
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    Result r;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) r.said.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    r.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    r.peakKb = usage.ru_maxrss;
    if (!WIFEXITED(status)) r.said = "died (status " + std::to_string(status) + ")";
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t largestMb = 100;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--largest=", 10) == 0)
            largestMb = std::strtoull(argv[i] + 10, nullptr, 10);
    }
    char pattern[] = "/tmp/quorta-bench-trace-memory-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string path = dir + "/t.jsonl";

    writeTrace(path, 0, kHeader, nullptr, "");
    const Result base = readInChild(path);
    std::printf(
        "reading a trace: peak resident memory of a child reading it (%ld KB for a\n"
        "3-line trace, subtracted below as the program's own), and its time\n\n",
        base.peakKb);
    std::printf("%-34s %8s %10s %8s %10s  %s\n", "trace", "MB", "peak MB", "peak/N", "ms",
                "what the reader said");
    auto run = [&](const char* name, uint64_t mb, const char* first,
                   const std::function<std::string(uint64_t)>& next, const char* last) {
        writeTrace(path, mb << 20, first, next, last);
        const double size = static_cast<double>(std::filesystem::file_size(path)) / (1 << 20);
        const Result r = readInChild(path);
        const double peak = static_cast<double>(r.peakKb - base.peakKb) / 1024;
        std::printf("%-34s %8.1f %10.1f %8.2f %10.0f  %.60s\n", name, size, peak, peak / size, r.ms,
                    r.said.c_str());
        std::fflush(stdout);
    };
    const char* end =
        "{\"h\":1,\"op\":\"close\",\"t\":9,\"th\":1}\n{\"exit\":0,\"op\":\"end\",\"t\":9}\n";
    for (uint64_t mb = 1; mb <= largestMb; mb *= 10) {
        run(
            "golden-like (reports)", mb, kHeader,
            [](uint64_t i) {
                return i % 2 == 0 ? "{\"h\":1,\"hex\":\"00" + hexOf(i, 64) +
                                        "\",\"n\":65,\"op\":\"write\",\"t\":5,\"th\":1}\n"
                                  : "{\"h\":1,\"hex\":\"" + hexOf(i, 64) +
                                        "\",\"n\":64,\"op\":\"read\",\"size\":64,\"t\":5,"
                                        "\"th\":1,\"wait\":1000}\n";
            },
            end);
        run(
            "hostile: {} lines (refused)", mb, kHeader,
            [](uint64_t) { return std::string("{}\n"); }, "");
        run(
            "hostile: short lines kept", mb, kHeader,
            [](uint64_t) { return std::string("{\"op\":\"hid_exit\",\"t\":0,\"th\":1}\n"); }, "");
        run(
            "hostile: one endless line", mb, kHeader,
            [](uint64_t i) {
                return std::string(i == 0 ? "{\"ids\":[" : "") + "\"a\",\"a\",\"a\",\"a\",";
            },
            "\"a\"],\"op\":\"usb\",\"t\":0,\"th\":1}\n");
    }
    run(
        "10 million short lines kept", 10000000ull * 31 >> 20, kHeader,
        [](uint64_t) { return std::string("{\"op\":\"hid_exit\",\"t\":0,\"th\":1}\n"); }, "");
    std::filesystem::remove_all(dir);
    return 0;
}

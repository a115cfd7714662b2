// Replaying a device trace against the same update with the simulated GPS.
//
// The type-13 golden trace (an Osprey Max at 12.10 with an older radio:
// backup, bootloader, erase, write, reset, factory reset, radio, fonts,
// restore) is replayed with --time-scale=0.01, and the same update is run
// with --simulate at that scale (a rider's files on the GPS drive), both as
// the shipped program in a child process, alternately, three times each.
// Target: the replay takes no longer than the simulation (median against
// median).
//
//   bench_trace [--runs=N]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kGolden = "update-type13-backup";
constexpr const char* kScale = "--time-scale=0.01";

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The golden's simulation options and the program's own, from goldens.txt.
bool goldenOptions(std::vector<std::string>* simulate, std::vector<std::string>* own) {
    std::ifstream in(std::string(QUORTA_TRACES_DIR) + "/goldens.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(std::string(kGolden) + " | ", 0) != 0) continue;
        std::vector<std::string> fields;
        for (size_t at = 0;;) {
            const size_t bar = line.find(" | ", at);
            fields.push_back(line.substr(at, bar == std::string::npos ? bar : bar - at));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        if (fields.size() != 5) return false;
        *simulate = words(fields[2]);
        *own = words(fields[3]);
        return true;
    }
    return false;
}

// The rider's files of the golden's drive, by size (their contents are no
// part of a trace).
void makeUserDrive(const std::string& root) {
    namespace fs = std::filesystem;
    const std::pair<const char*, size_t> files[] = {{"Quorta/Rides/ride1.fit", 150000},
                                                    {"Quorta/Rides/ride2.fit", 90001},
                                                    {"Quorta/Settings.json", 900},
                                                    {"Quorta/Maps/Alps/region.bin", 400000},
                                                    {"Quorta/empty.txt", 0}};
    fs::create_directories(fs::path(root) / "Quorta/Empty folder");
    for (const auto& [name, size] : files) {
        fs::create_directories((fs::path(root) / name).parent_path());
        std::ofstream(fs::path(root) / name, std::ios::binary) << std::string(size, 'q');
    }
}

// Wall milliseconds of one run of the program, or -1 when it did not end with 0.
double timedRun(const std::vector<std::string>& args, const std::string& folder) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder + "/run");
    std::filesystem::create_directories(folder);
    std::filesystem::create_directories(folder + "/cache");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        const int out = ::open((folder + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(null, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::setenv("XDG_RUNTIME_DIR", (folder + "/run").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (folder + "/cache").c_str(), 1);
        std::vector<std::string> copies = args;
        std::string program = QUORTA_UPDATER_PATH;
        std::vector<char*> argv{program.data()};
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ms;
    // What it said, to tell why.
    std::ifstream output(folder + "/output");
    std::string line, last;
    std::fprintf(stderr, "bench_trace: %s ended with status %d; its last lines:\n", args[0].c_str(),
                 WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::vector<std::string> lines;
    while (std::getline(output, line)) lines.push_back(line);
    for (size_t i = lines.size() > 12 ? lines.size() - 12 : 0; i < lines.size(); ++i) {
        std::fprintf(stderr, "  %s\n", lines[i].c_str());
    }
    return -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--runs=", 0) == 0 && std::atoi(a.c_str() + 7) > 0) {
            runs = std::atoi(a.c_str() + 7);
        } else {
            std::fprintf(stderr, "usage: %s [--runs=N]\n", argv[0]);
            return 2;
        }
    }
    std::vector<std::string> simulate, own;
    if (!goldenOptions(&simulate, &own)) {
        std::fprintf(stderr, "bench_trace: %s is not in goldens.txt\n", kGolden);
        return 1;
    }
    const std::string trace = std::string(QUORTA_TRACES_DIR) + "/" + kGolden + ".jsonl";
    char pattern[] = "/tmp/quorta-bench-trace-XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    for (std::string& option : simulate) {
        const size_t at = option.find("{drive}");
        if (at == std::string::npos) continue;
        makeUserDrive(folder + "/drive");
        option.replace(at, 7, folder + "/drive");
    }
    std::vector<std::string> simulated = simulate;
    simulated.push_back(kScale);
    simulated.insert(simulated.end(), own.begin(), own.end());
    std::vector<std::string> replayed = {"--replay-trace", trace, kScale};
    replayed.insert(replayed.end(), own.begin(), own.end());

    std::vector<double> simulateMs, replayMs;
    for (int i = 0; i < runs; ++i) {
        simulateMs.push_back(timedRun(simulated, folder + "/sim"));
        replayMs.push_back(timedRun(replayed, folder + "/replay"));
    }
    std::filesystem::remove_all(folder);
    if (std::count(simulateMs.begin(), simulateMs.end(), -1.0) ||
        std::count(replayMs.begin(), replayMs.end(), -1.0)) {
        std::fprintf(stderr, "bench_trace: a run did not end with exit 0\n");
        return 1;
    }
    const double sim = median(simulateMs), replay = median(replayMs);
    std::printf("Type-13 update at %s, median of %d runs each (wall time, whole program)\n",
                kScale + 13, runs);
    std::printf("  --simulate          %10.1f ms\n", sim);
    std::printf("  --replay-trace      %10.1f ms\n", replay);
    std::printf("  replay / simulate   %10.3f  (target <= 1)\n", replay / sim);
    return replay <= sim ? 0 : 1;
}

// The data-safety explorer: random sequences of sessions of the shipped
// updater against the simulated GPS, one drive folder and one HOME kept
// across the sessions of a sequence. Each session picks a GPS that needs the
// backup or not, a fault (every unplug@ point, a read-only drive, a Quorta
// folder that cannot be read, a backup folder that cannot be written, the
// updater killed with SIGKILL at a random moment), the answer to each
// question and whether to update. After every session every file the rider
// had is checked by content hash: on the GPS, or in a kept backup (a folder
// with its ".unrestored" marker) that the session named. A sequence ends
// with a clean session answering Yes, after which every file must be on the
// GPS.
//
//   data_safety_explorer --updater=PATH [--sequences=N] [--seed=S] [--jobs=J]
//                        [--time-scale=F] [--verbose]
//
// Run as root, the updater runs as the user nobody, so that folders the
// explorer closes are closed to it too. Exits 1 when a file was lost.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
    std::string updater;
    int sequences = 200;
    uint64_t seed = 1;
    int jobs = 2;
    std::string timeScale = "0.01";
    bool verbose = false;
};

uint64_t contentHash(const std::string& bytes) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a, 64 bits
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

bool readWhole(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

std::string shellQuoted(const std::string& s) {
    if (s.find_first_of(" '\"\\$") == std::string::npos) return s;
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct RunResult {
    int exitCode = -1;
    bool killed = false;
    bool timedOut = false;
    std::string out;
};

// Runs the updater with `args`, HOME as given, `input` on standard input;
// kills it with SIGKILL after `killAfterMs` (when >= 0).
RunResult runUpdater(const Options& o, const std::vector<std::string>& args,
                     const std::string& home, const std::string& input, int killAfterMs, uid_t uid,
                     gid_t gid) {
    RunResult result;
    const std::string outPath = home + "/../session.out";
    const std::string inPath = home + "/../session.in";
    std::ofstream(inPath) << input;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::setpgid(0, 0);
        if (::geteuid() == 0 && (::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
        ::setenv("HOME", home.c_str(), 1);
        for (const char* name :
             {"XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
              "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "UMOCKDEV_DIR"}) {
            ::unsetenv(name);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(o.updater.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(o.updater.c_str(), argv.data());
        ::_exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        if ((killAfterMs >= 0 && ms >= killAfterMs) || ms > 240000) {
            if (killAfterMs < 0 || ms < killAfterMs) result.timedOut = true;
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.killed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result.killed && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.killed = true;
    readWhole(outPath, result.out);
    return result;
}

// What one session did, for the report and the replay.
struct Session {
    std::string fault;
    std::string command;
    std::string answers;
};

struct SequenceReport {
    uint64_t seed = 0;
    int sessions = 0;
    int faults = 0;
    uint64_t filesChecked = 0;
    int updated = 0;                  // sessions that ended on the latest software
    int keptAfter = 0;                // sessions after which files were kept only on the computer
    std::vector<std::string> losses;  // empty: nothing lost
    std::vector<Session> done;
    std::map<std::string, int> faultKinds;
};

class Sequence {
  public:
    Sequence(const Options& o, uint64_t seed, const std::vector<std::string>& unplugPoints,
             uid_t uid, gid_t gid)
        : o_(o), rng_(seed), unplugPoints_(unplugPoints), uid_(uid), gid_(gid) {
        report.seed = seed;
    }

    void run() {
        char pattern[] = "/tmp/quorta-explorer-XXXXXX";
        if (!::mkdtemp(pattern)) {
            report.losses.push_back("cannot make a temporary folder");
            return;
        }
        base_ = pattern;
        home_ = base_ + "/home";
        drive_ = base_ + "/drive";
        fs::create_directories(home_ + "/.cache/quorta-updater");
        fs::create_directories(drive_ + "/Quorta");
        addRiderFiles(2 + pick(3));
        const int sessions = 3 + pick(3);
        for (int i = 0; i < sessions && report.losses.empty(); ++i) session(false);
        if (report.losses.empty()) session(true);
        openEverything();
        std::error_code ec;
        fs::remove_all(base_, ec);
    }

    SequenceReport report;

  private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }

    void addRiderFiles(int count) {
        const fs::path quorta = drive_ + "/Quorta";
        std::error_code ec;
        if (!fs::is_directory(quorta, ec)) return;
        for (int i = 0; i < count; ++i) {
            const std::string rel = (pick(2) ? "Rides/" : std::string()) + "f" +
                                    std::to_string(next_++) + (pick(2) ? ".fit" : ".cfg");
            std::string content(static_cast<size_t>(1 + pick(40000)), '\0');
            for (char& c : content) c = static_cast<char>(rng_());
            fs::create_directories((quorta / rel).parent_path(), ec);
            std::ofstream(quorta / rel, std::ios::binary) << content;
            rider_[rel] = contentHash(content);
        }
        ownToChild();
    }

    // The child runs as another user: everything of the sequence is its own.
    void ownToChild() {
        if (::geteuid() != 0) return;
        std::error_code ec;
        ::chown(base_.c_str(), uid_, gid_);
        for (auto it = fs::recursive_directory_iterator(base_, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            ::lchown(it->path().c_str(), uid_, gid_);
        }
    }

    // Whatever a fault or a killed session closed is opened again.
    void openEverything() {
        std::error_code ec;
        ::chmod(drive_.c_str(), 0755);
        ::chmod((drive_ + "/Quorta").c_str(), 0755);
        ::chmod((home_ + "/.cache/quorta-updater").c_str(), 0700);
        for (const std::string& top : {drive_, home_}) {
            ::system(("chattr -R -i " + shellQuoted(top) + " 2>/dev/null").c_str());
            for (auto it = fs::recursive_directory_iterator(top, ec);
                 it != fs::recursive_directory_iterator(); it.increment(ec)) {
                struct stat st {};
                if (::lstat(it->path().c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
                ::chmod(
                    it->path().c_str(),
                    (st.st_mode | S_IRUSR | S_IWUSR | (S_ISDIR(st.st_mode) ? S_IXUSR : 0)) & 07777);
            }
        }
        ownToChild();
    }

    // The kept backups: folders with their marker beside them.
    std::vector<fs::path> keptBackups() {
        std::vector<fs::path> kept;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(home_ + "/.cache/quorta-updater", ec)) {
            if (e.path().extension() != ".unrestored") continue;
            fs::path folder = e.path();
            folder.replace_extension();
            kept.push_back(folder);
        }
        return kept;
    }

    bool holds(const fs::path& folder, const std::string& rel, uint64_t hash) {
        std::string content;
        return readWhole(folder / rel, content) && contentHash(content) == hash;
    }

    void check(const std::string& out, bool told, const std::string& what) {
        const std::vector<fs::path> kept = keptBackups();
        bool onlyKept = false;
        for (const auto& [rel, hash] : rider_) {
            ++report.filesChecked;
            if (holds(drive_ + "/Quorta", rel, hash)) continue;
            bool inBackup = false;
            bool named = !told;
            for (const fs::path& folder : kept) {
                if (!holds(folder, rel, hash)) continue;
                inBackup = true;
                if (out.find(folder.string()) != std::string::npos) named = true;
            }
            if (inBackup) onlyKept = true;
            if (!inBackup) {
                report.losses.push_back(what + ": " + rel +
                                        " is neither on the GPS nor in a kept backup");
            } else if (!named) {
                report.losses.push_back(what + ": " + rel +
                                        " is only on the computer and the run did not say where");
            }
        }
        if (onlyKept) ++report.keptAfter;
    }

    void session(bool clean) {
        ++report.sessions;
        const bool old = clean ? false : pick(10) < 8;
        std::vector<std::string> args = {
            "--cli", old ? "--simulate=13:jp:12.10" : "--simulate=13:jp:14.51",
            "--simulate-drive=" + drive_, "--time-scale=" + o_.timeScale};
        std::string fault = "none";
        int killAfterMs = -1;
        const std::string cache = home_ + "/.cache/quorta-updater";
        if (!clean) {
            const bool update = pick(4) != 0;
            if (update) args.push_back("--update");
            switch (pick(12)) {
                case 0:
                case 1:
                case 2:
                    break;
                case 3:
                    fault = "read-only-drive";
                    args.push_back("--simulate-fault=read-only-drive");
                    break;
                case 4:
                    fault = "unreadable-quorta";
                    ::chmod((drive_ + "/Quorta").c_str(), 0);
                    break;
                case 5:
                    fault = "unwritable-backup-folder";
                    ::chmod(cache.c_str(), 0500);
                    break;
                case 6:
                case 7:
                    fault = "sigkill";
                    killAfterMs = 50 + pick(3000);
                    break;
                default:
                    if (!unplugPoints_.empty()) {
                        // Half of them before the firmware is back, where the
                        // backup and the factory reset are decided.
                        const int early = std::min(8, static_cast<int>(unplugPoints_.size()));
                        fault = unplugPoints_[static_cast<size_t>(
                            pick(2) ? pick(early) : pick(static_cast<int>(unplugPoints_.size())))];
                        args.push_back("--simulate-fault=" + fault);
                        if (pick(4) == 0) args.push_back("--simulate-replug=never");
                    }
                    break;
            }
        } else {
            args.push_back("--yes");
        }
        // The answers: Yes and OK to everything (--yes), or a random answer to
        // each question in turn (a Yes/No question asks again at OK or Cancel).
        std::string input;
        if (!clean) {
            if (pick(3) == 0) {
                args.push_back("--yes");
            } else {
                static const char* const kAnswers[] = {"y", "n", "ok", "cancel"};
                for (int i = 0; i < 6; ++i) input += std::string(kAnswers[pick(4)]) + "\n";
            }
        }
        if (fault != "none") {
            ++report.faults;
            ++report.faultKinds[fault.rfind("unplug@", 0) == 0 ? "unplug@" : fault];
        }
        std::string command = "HOME=" + shellQuoted(home_) + " " + shellQuoted(o_.updater);
        for (const std::string& a : args) command += " " + shellQuoted(a);
        report.done.push_back({fault, command, input});
        if (o_.verbose) std::fprintf(stderr, "  %s <<< %s\n", command.c_str(), input.c_str());

        const RunResult r = runUpdater(o_, args, home_, input, killAfterMs, uid_, gid_);
        openEverything();
        const std::string what = "session " + std::to_string(report.sessions) + " (" + fault + ")";
        if (r.timedOut) report.losses.push_back(what + ": the updater did not end");
        if (r.exitCode == 126 || r.exitCode == 127)
            report.losses.push_back(what + ": the updater could not be started");
        check(r.out, !r.killed, what);
        if (r.out.find("Latest software is installed on device") != std::string::npos)
            ++report.updated;
        if (clean && report.losses.empty()) {
            for (const auto& [rel, hash] : rider_) {
                if (!holds(drive_ + "/Quorta", rel, hash))
                    report.losses.push_back("after the clean session: " + rel +
                                            " is not back on the GPS");
            }
        }
        // The rider goes for a ride between sessions.
        if (!clean && pick(3) == 0) addRiderFiles(1);
    }

    const Options& o_;
    std::mt19937_64 rng_;
    const std::vector<std::string>& unplugPoints_;
    uid_t uid_;
    gid_t gid_;
    std::string base_, home_, drive_;
    std::map<std::string, uint64_t> rider_;
    int next_ = 1;
};

std::vector<std::string> unplugPoints(const Options& o) {
    std::vector<std::string> points;
    char pattern[] = "/tmp/quorta-explorer-XXXXXX";
    if (!::mkdtemp(pattern)) return points;
    fs::create_directories(std::string(pattern) + "/home");
    const RunResult r = runUpdater(o, {"--cli", "--simulate=13", "--simulate-fault=help"},
                                   std::string(pattern) + "/home", "", -1, ::getuid(), ::getgid());
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("unplug@");
        if (at != 2) continue;
        points.push_back(line.substr(at, line.find(' ', at) - at));
    }
    std::error_code ec;
    fs::remove_all(pattern, ec);
    return points;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            const std::string prefix = std::string(name) + "=";
            return a.rfind(prefix, 0) == 0 ? argv[i] + prefix.size() : nullptr;
        };
        if (const char* v = value("--updater")) {
            o.updater = v;
        } else if (const char* v = value("--sequences")) {
            o.sequences = std::atoi(v);
        } else if (const char* v = value("--seed")) {
            o.seed = std::strtoull(v, nullptr, 10);
        } else if (const char* v = value("--jobs")) {
            o.jobs = std::max(1, std::atoi(v));
        } else if (const char* v = value("--time-scale")) {
            o.timeScale = v;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            std::fprintf(stderr, "data_safety_explorer: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (o.updater.empty() || o.sequences < 1) {
        std::fprintf(stderr,
                     "usage: data_safety_explorer --updater=PATH [--sequences=N] "
                     "[--seed=S] [--jobs=J] [--time-scale=F] [--verbose]\n");
        return false;
    }
    o.updater = fs::absolute(o.updater).string();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) return 2;
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::geteuid() == 0) {
        if (const passwd* nobody = ::getpwnam("nobody")) {
            uid = nobody->pw_uid;
            gid = nobody->pw_gid;
        }
    }
    const std::vector<std::string> points = unplugPoints(o);
    if (points.empty()) {
        std::fprintf(stderr, "data_safety_explorer: the updater lists no unplug@ points\n");
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    std::vector<SequenceReport> reports(static_cast<size_t>(o.sequences));
    std::atomic<int> nextIndex{0};
    std::mutex printMutex;
    std::vector<std::thread> workers;
    for (int j = 0; j < o.jobs; ++j) {
        workers.emplace_back([&] {
            for (int i; (i = nextIndex++) < o.sequences;) {
                Sequence sequence(o, o.seed + static_cast<uint64_t>(i), points, uid, gid);
                sequence.run();
                reports[static_cast<size_t>(i)] = sequence.report;
                if (o.verbose) {
                    std::lock_guard lock(printMutex);
                    std::fprintf(stderr, "sequence seed %llu: %s\n",
                                 static_cast<unsigned long long>(sequence.report.seed),
                                 sequence.report.losses.empty() ? "ok" : "FAILED");
                }
            }
        });
    }
    for (std::thread& t : workers) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    int sessions = 0, faults = 0, failed = 0, updated = 0, keptAfter = 0;
    uint64_t files = 0;
    std::map<std::string, int> kinds;
    for (const SequenceReport& r : reports) {
        sessions += r.sessions;
        faults += r.faults;
        files += r.filesChecked;
        updated += r.updated;
        keptAfter += r.keptAfter;
        for (const auto& [k, n] : r.faultKinds) kinds[k] += n;
        if (r.losses.empty()) continue;
        ++failed;
        std::printf("FAILED sequence, seed %llu:\n", static_cast<unsigned long long>(r.seed));
        for (const std::string& loss : r.losses) std::printf("  %s\n", loss.c_str());
        std::printf("  replay: %s --updater=%s --seed=%llu --sequences=1 --jobs=1 --verbose\n",
                    argv[0], o.updater.c_str(), static_cast<unsigned long long>(r.seed));
        std::printf("  its sessions (HOME and drive are kept across them):\n");
        for (const Session& s : r.done) {
            std::string answers;
            for (char c : s.answers) answers += c == '\n' ? std::string("\\n") : std::string(1, c);
            std::printf("    printf '%s' | %s   # fault: %s\n", answers.c_str(), s.command.c_str(),
                        s.fault.c_str());
        }
    }
    std::string kindText;
    for (const auto& [k, n] : kinds)
        kindText += (kindText.empty() ? "" : ", ") + k + " " + std::to_string(n);
    std::printf(
        "data-safety explorer: %d sequences, %d sessions, %d faults (%s), %llu files "
        "checked (%d sessions ended on the latest software, %d left files kept only on the "
        "computer), %d sequences failed, %.0f s (seed %llu, %d jobs)\n",
        o.sequences, sessions, faults, kindText.c_str(), static_cast<unsigned long long>(files),
        updated, keptAfter, failed, seconds, static_cast<unsigned long long>(o.seed), o.jobs);
    return failed == 0 ? 0 : 1;
}

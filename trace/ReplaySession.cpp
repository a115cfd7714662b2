#include "ReplaySession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <vector>

#include "DriveState.h"
#include "TraceWriter.h"

namespace trace {

namespace {

// How long a thread waits for the threads before it beyond the recorded
// time, before the replay counts the wait as one that will not end: far
// more than a loaded machine ever adds.
constexpr auto kStallSlack = std::chrono::seconds(15);

bool passive(Op op) {
    return op == Op::Thread || op == Op::Found;
}

// The first file in which two drives' files left differ: now, and as recorded.
std::pair<std::string, std::string> firstDifference(const DriveFiles& now,
                                                    const DriveFiles& recorded) {
    const std::vector<FileState>& a = now.files;
    const std::vector<FileState>& b = recorded.files;
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    std::optional<FileState> x, y;
    if (i < a.size()) x = a[i];
    if (i < b.size()) y = b[i];
    // The file first by name is the one the other side lacks.
    if (x && y && x->path != y->path) {
        if (x->path < y->path) {
            y.reset();
        } else {
            x.reset();
        }
    }
    const std::string path = x ? x->path : y ? y->path : "";
    return {describeFile(x, path), describeFile(y, path)};
}

std::string makePrivateFolder(std::string* error) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorta-replay-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) {
        if (error) *error = "cannot make a folder for the replayed drive";
        return "";
    }
    return buffer.data();
}

}  // namespace

std::unique_ptr<ReplaySession> ReplaySession::load(const std::string& path,
                                                   const std::string& program,
                                                   platform::Clock& clock, std::string* error) {
    std::string why;
    const int fd = openTraceFile(path, &why);
    if (fd < 0) {
        if (error) *error = "cannot replay " + path + ": " + why;
        return nullptr;
    }
    std::unique_ptr<ReplaySession> session(new ReplaySession(clock, program, path));
    // Read while the program starts: the first call at a seam waits for it.
    session->loader_ = std::thread([s = session.get(), fd] { s->loadInBackground(fd); });
    session->pump_ = std::thread([s = session.get()] { s->pumpEvents(); });
    return session;
}

ReplaySession::ReplaySession(platform::Clock& clock, std::string program, std::string path)
    : clock_(clock),
      program_(std::move(program)),
      path_(std::move(path)),
      lastProgress_(std::chrono::steady_clock::now()) {}

void ReplaySession::loadInBackground(int fd) {
    std::string why;
    bool ok = false;
    if (std::optional<Trace> trace = readTrace(fd, &why)) {
        trace_ = std::move(*trace);
        if (trace_.program != program_) {
            why = "it was recorded by " + trace_.program + ", not by " + program_;
        } else {
            for (const auto& [number, name] : trace_.threads) threadNumbers_[name] = number;
            ok = makeDrives(&why);
        }
    }
    std::lock_guard lock(mutex_);
    loadError_ = ok ? std::string() : "cannot replay " + path_ + ": " + why;
    loaded_ = true;
    lastProgress_ = std::chrono::steady_clock::now();
    wakeAll();
}

void ReplaySession::waitLoaded(std::unique_lock<std::mutex>& lock) {
    while (!loaded_) changed_.wait(lock);
    if (loadError_.empty()) return;
    // A trace that cannot be replayed: said as the program says it, before
    // anything of it was replayed.
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), loadError_.c_str());
    std::fflush(stderr);
    removeFolder();
    std::_Exit(1);
}

bool ReplaySession::sameWait(int recordedMs, int nowMs) const {
    if (recordedMs == nowMs) return true;
    if (recordedMs <= 0 || nowMs <= 0) return false;
    // The program's scaled waits are whole milliseconds of the scaled clock.
    const double now = static_cast<double>(clock_.realDuration(1000000).count()) / 1e9;
    const double expected = recordedMs * now / trace_.timeScale;
    return std::abs(nowMs - expected) <= std::max(1.0, expected / 100);
}

const Trace& ReplaySession::trace() {
    std::unique_lock lock(mutex_);
    waitLoaded(lock);
    return trace_;
}

ReplaySession::~ReplaySession() {
    if (loader_.joinable()) loader_.join();
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        wakeAll();
    }
    if (pump_.joinable()) pump_.join();
    removeFolder();
}

void ReplaySession::removeFolder() {
    if (folder_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

bool ReplaySession::makeDrives(std::string* error) {
    if (trace_.driveRoots.empty()) return true;
    folder_ = makePrivateFolder(error);
    if (folder_.empty()) return false;
    for (const auto& [drive, recordedRoot] : trace_.driveRoots) {
        const std::string root = folder_ + "/drive" + std::to_string(drive) + "/";
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec) {
            if (error) *error = "cannot make the replayed drive: " + ec.message();
            return false;
        }
        driveRoots_[drive] = root;
    }
    // Every file the program found, as it found it first.
    for (const Entry& e : trace_.entries) {
        if (e.op != Op::Found) continue;
        std::string why;
        if (!makeTree(driveRoots_[e.drive], e.more().tree, &why)) {
            if (error) *error = "line " + std::to_string(e.line) + ": " + why;
            return false;
        }
    }
    return true;
}

std::string ReplaySession::driveRoot(int drive) {
    {
        std::unique_lock lock(mutex_);
        waitLoaded(lock);
    }
    auto it = driveRoots_.find(drive);
    return it == driveRoots_.end() ? std::string() : it->second;
}

std::optional<std::pair<int, std::string>> ReplaySession::onDrive(const std::string& path) {
    {
        std::unique_lock lock(mutex_);
        waitLoaded(lock);
    }
    for (const auto& [drive, root] : driveRoots_) {
        const std::string bare = root.substr(0, root.size() - 1);
        if (path == bare || path == root) return std::make_pair(drive, std::string());
        if (path.compare(0, root.size(), root) != 0) continue;
        std::string rest;
        size_t start = root.size();
        while (start <= path.size()) {
            size_t end = path.find('/', start);
            if (end == std::string::npos) end = path.size();
            const std::string part = path.substr(start, end - start);
            start = end + 1;
            if (part.empty() || part == ".") continue;
            if (part == "..") return std::nullopt;
            if (!rest.empty()) rest += '/';
            rest += part;
        }
        return std::make_pair(drive, rest);
    }
    return std::nullopt;
}

void ReplaySession::skipPassive() {
    while (next_ < trace_.entries.size() && passive(trace_.entries[next_].op)) ++next_;
}

void ReplaySession::advance(const Entry& e) {
    ++next_;
    lastT_ = e.t;
    lastProgress_ = std::chrono::steady_clock::now();
    // Only the thread whose line is now at the front is woken: most lines are
    // one thread's run of reports, and waking the others for each of them
    // would cost the reporting thread its processor on a busy machine.
    skipPassive();
    if (next_ >= trace_.entries.size() || trace_.entries[next_].op == Op::End ||
        trace_.entries[next_].op == Op::Expect) {
        for (auto& [thread, turn] : turns_) turn.notify_all();
        return;
    }
    const Entry& front = trace_.entries[next_];
    if (front.op == Op::Event) {
        pumpWake_.notify_all();
    } else if (auto it = turns_.find(front.thread); it != turns_.end()) {
        it->second.notify_all();
    }
}

void ReplaySession::wakeAll() {
    for (auto& [thread, turn] : turns_) turn.notify_all();
    changed_.notify_all();
    pumpWake_.notify_all();
}

std::chrono::steady_clock::duration ReplaySession::gapBefore(const Entry& e) const {
    return clock_.realDuration(e.t > lastT_ ? e.t - lastT_ : 0);
}

std::string ReplaySession::frontText() const {
    if (next_ >= trace_.entries.size()) {
        return trace_.complete ? "the end of the run"
                               : "the end of the trace (the recording was cut off there)";
    }
    const Entry& e = trace_.entries[next_];
    if (e.op == Op::End || e.op == Op::Expect) return "the end of the run";
    std::string text = describe(e);
    if (e.thread) {
        auto it = trace_.threads.find(e.thread);
        if (it != trace_.threads.end()) text += " (thread " + it->second + ")";
    }
    return text;
}

void ReplaySession::differs(size_t line, const std::string& action, const std::string& recorded,
                            const std::string& note) {
    // Whatever the other threads are doing, the run ends here: with the
    // trace behind, nothing they do could be checked any more.
    std::fflush(stdout);
    std::fprintf(stderr, "trace differs at line %zu: %s recorded %s\n", line, action.c_str(),
                 recorded.c_str());
    if (!note.empty()) std::fprintf(stderr, "  %s\n", note.c_str());
    std::fflush(stderr);
    removeFolder();
    std::_Exit(kExitTraceDiffers);
}

const Entry& ReplaySession::take(Op op, const Text& action, const Match& matches,
                                 const std::function<std::string(const Entry&)>& recorded,
                                 std::optional<std::chrono::steady_clock::time_point> timedOutAt,
                                 const std::function<std::string(const Entry&)>& note) {
    const std::string threadName = currentThreadName();
    std::unique_lock lock(mutex_);
    waitLoaded(lock);
    auto known = threadNumbers_.find(threadName);
    const int thread = known == threadNumbers_.end() ? 0 : known->second;
    for (;;) {
        skipPassive();
        const size_t at = next_;
        const bool atEnd = at >= trace_.entries.size() || trace_.entries[at].op == Op::End ||
                           trace_.entries[at].op == Op::Expect;
        const size_t line = at < trace_.entries.size() ? trace_.entries[at].line : trace_.lines + 1;
        if (atEnd) {
            if (const Entry* again = answeredAgain(op, matches, thread)) return *again;
            differs(line, action(), frontText());
        }
        const Entry& e = trace_.entries[at];
        if (thread == 0) {
            differs(line, action(), frontText(),
                    "the call came from thread " + threadName + ", which the trace does not have");
        }
        if (e.op != Op::Event && e.thread == thread) {
            if (e.op != op || !matches(e)) {
                if (const Entry* again = answeredAgain(op, matches, thread)) return *again;
                differs(e.line, action(), recorded ? recorded(e) : frontText(),
                        note ? note(e) : std::string());
            }
            // A read that timed out holds its place until its timeout is
            // over, as it held back what came after it when recorded.
            if (e.op == Op::Read && e.timeout && timedOutAt) {
                while (std::chrono::steady_clock::now() < *timedOutAt) {
                    turns_[thread].wait_until(lock, *timedOutAt);
                }
            }
            again_.erase(thread);
            advance(e);
            return e;
        }
        // Another thread's line, or a device event, comes first. In a trace
        // judged by its expectation, a call that is not this thread's next
        // line is a question asked again: answered now, not waited for.
        if (trace_.expected && !nextOwnMatches(thread, op, matches)) {
            if (const Entry* again = answeredAgain(op, matches, thread)) return *again;
        }
        const auto deadline = lastProgress_ + gapBefore(e) * 2 + kStallSlack;
        const std::cv_status waited = turns_[thread].wait_until(lock, deadline);
        if (waited == std::cv_status::timeout && next_ == at &&
            std::chrono::steady_clock::now() >= deadline) {
            differs(e.line, action(), frontText(),
                    "the program went on to this on thread " + threadName +
                        " while the trace waits for the line above, which never came");
        }
    }
}

void ReplaySession::startEvents(std::function<void(const std::string&)> sink) {
    // No need to wait for the trace: the pump does.
    std::unique_lock lock(mutex_);
    sink_ = std::move(sink);
    listening_ = true;
    stopped_ = false;
    wakeAll();
}

void ReplaySession::stopEvents() {
    std::unique_lock lock(mutex_);
    if (listening_) stopped_ = true;
    listening_ = false;
    sink_ = nullptr;
    wakeAll();
    // As with every source of events: once stopped, the sink is not called
    // again, so whoever owns it may go. (From inside the sink it only stops.)
    if (std::this_thread::get_id() != pump_.get_id()) {
        delivered_.wait(lock, [this] { return !delivering_; });
    }
}

void ReplaySession::pumpEvents() {
    std::unique_lock lock(mutex_);
    while (!loaded_ && !ending_) changed_.wait(lock);
    if (!loadError_.empty()) return;
    while (!ending_) {
        skipPassive();
        if (next_ >= trace_.entries.size() || trace_.entries[next_].op != Op::Event ||
            (!listening_ && !stopped_)) {
            pumpWake_.wait(lock);
            continue;
        }
        const Entry& e = trace_.entries[next_];
        if (stopped_) {
            // Nobody listens any more: the device's news goes nowhere.
            advance(e);
            continue;
        }
        const auto due = lastProgress_ + gapBefore(e);
        if (std::chrono::steady_clock::now() < due) {
            pumpWake_.wait_until(lock, due);
            continue;  // looks again: stopped, ended, or due
        }
        // Handed on while still at the front, as when recorded: nothing the
        // trace has after the event happens before the program has it.
        std::function<void(const std::string&)> sink = sink_;
        delivering_ = true;
        lock.unlock();
        if (sink) sink(e.eventName());
        lock.lock();
        delivering_ = false;
        delivered_.notify_all();
        advance(e);
    }
}

bool ReplaySession::nextOwnMatches(int thread, Op op, const Match& matches) const {
    for (size_t i = next_; i < trace_.entries.size(); ++i) {
        const Entry& e = trace_.entries[i];
        if (e.thread == thread && !passive(e.op)) return e.op == op && matches(e);
    }
    return false;
}

const Entry* ReplaySession::answeredAgain(Op op, const Match& matches, int thread) {
    if (!trace_.expected || answeredAgain_ >= kMostAnsweredAgain) return nullptr;
    auto answer = [&](size_t at) {
        const Entry& e = trace_.entries[at];
        again_[thread] = {at + 1, e.thread};
        ++answeredAgain_;
        return &e;
    };
    // Within an exchange asked again (a read after a write asked again), the
    // lines that followed the earlier question answer.
    if (auto it = again_.find(thread); it != again_.end()) {
        const auto [from, recordedThread] = it->second;
        for (size_t i = from; i < next_; ++i) {
            const Entry& e = trace_.entries[i];
            if (e.thread != recordedThread || e.op == Op::Event || passive(e.op)) continue;
            if (e.op == op && matches(e)) return answer(i);
            break;
        }
    }
    // Else the last time the same question was asked, on any thread.
    for (size_t i = next_; i-- > 0;) {
        const Entry& e = trace_.entries[i];
        if (e.op == op && matches(e)) return answer(i);
    }
    return nullptr;
}

DriveFiles ReplaySession::leftOn(int drive) const {
    std::set<std::string> tops;
    auto top = [&](const std::string& path) {
        if (!path.empty()) tops.insert(path.substr(0, path.find('/')));
    };
    for (const Entry& e : trace_.entries) {
        if (e.drive != drive || (e.op != Op::Found && e.op != Op::DriveChange)) continue;
        const EntryDetail& d = e.more();
        top(d.path);
        top(d.to);
        for (const std::string& folder : d.tree.folders) top(folder);
        for (const FileState& file : d.tree.files) top(file.path);
    }
    auto root = driveRoots_.find(drive);
    return filesLeft(drive, root == driveRoots_.end() ? std::string() : root->second, tops);
}

void ReplaySession::endedDifferently(size_t line, const std::string& recorded,
                                     const std::string& now) {
    std::fflush(stdout);
    std::fprintf(stderr, "trace ended differently: recorded %s, now %s\n", recorded.c_str(),
                 now.c_str());
    std::fprintf(stderr, "  the ending is line %zu of the trace\n", line);
    std::fflush(stderr);
    removeFolder();
    std::_Exit(kExitTraceDiffers);
}

void ReplaySession::finish(const Outcome& now) {
    std::unique_lock lock(mutex_);
    waitLoaded(lock);
    delivered_.wait(lock, [this] { return !delivering_; });
    for (;;) {
        skipPassive();
        if (next_ < trace_.entries.size() && trace_.entries[next_].op == Op::Event) {
            ++next_;  // the program no longer listens: the device's news went nowhere
            continue;
        }
        break;
    }
    if (next_ < trace_.entries.size() && trace_.entries[next_].op != Op::End &&
        trace_.entries[next_].op != Op::Expect) {
        differs(trace_.entries[next_].line, "ended the run", frontText());
    }
    // How the run ended: what the trace says of it, and only that.
    if (next_ < trace_.entries.size()) {
        const Entry& ending = trace_.entries[next_];
        const Outcome& said = ending.more().outcome;
        Outcome recorded, seen;
        auto compare = [&](const auto& a, const auto& b, auto& ra, auto& sb) {
            if (a && a != b) {
                ra = a;
                sb = b;
            }
        };
        compare(said.exitCode, now.exitCode, recorded.exitCode, seen.exitCode);
        compare(said.title, now.title, recorded.title, seen.title);
        compare(said.detail, now.detail, recorded.detail, seen.detail);
        if (said.left) {
            for (const DriveFiles& drive : *said.left) {
                const DriveFiles left = leftOn(drive.drive);
                if (left != drive) {
                    recorded.left = {drive};
                    seen.left = {left};
                    break;
                }
            }
        }
        if (recorded.exitCode || recorded.title || recorded.detail || recorded.left) {
            std::string was = describeOutcome(recorded), is = describeOutcome(seen);
            if (recorded.left) {
                const auto [a, b] = firstDifference(seen.left->front(), recorded.left->front());
                is += " (first difference: " + a + " recorded " + b + ")";
            }
            endedDifferently(ending.line, was, is);
        }
    }
    ending_ = true;
    wakeAll();
    lock.unlock();
    if (pump_.joinable()) pump_.join();
    if (!trace_.complete) {
        std::fprintf(stderr,
                     "trace: the recording was cut off after line %zu; the run met every line "
                     "before it\n",
                     trace_.lines);
    }
}

}  // namespace trace

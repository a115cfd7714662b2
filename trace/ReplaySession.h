// Plays a recorded trace back to the program, in place of the GPS: every
// call the program makes at a seam (hidport, the USB device list, the
// volumes, the changes on the drive) must meet the next line of the trace,
// and gets that line's answer; the device events come from the trace.
//
// The lines are met in their recorded order, also across threads: a thread
// whose line is not yet at the front waits until the threads before it have
// met theirs, so that a replay runs the same way however the machine's load
// moves its threads. A call that meets a line of its own thread that says
// something else is a difference; so is a wait that no other thread ends. At
// the first difference the replay prints "trace differs at line N: ... " and
// ends the program with exit status 3. So does a run that ends otherwise
// than the trace says: "trace ended differently: recorded ..., now ...".
//
// A trace whose ending is an `expect` line, written by a person after
// changing a device's answers, is judged by that ending. Its exchanges are
// met in order as any other, but a question the program asks again (a
// rescan, a version asked once more) is answered again from the lines that
// answered it before, up to kMostAnsweredAgain calls.
//
// Time: events come after the recorded time since the line before them, on
// the program's clock (so scaled by --time-scale); reads are answered at
// once, and a read that timed out waits out the timeout it was given.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "TraceFile.h"
#include "platform/Clock.h"

namespace trace {

inline constexpr int kExitTraceDiffers = 3;
inline constexpr int kMostAnsweredAgain = 1000;

class ReplaySession {
  public:
    // Reads the trace file, then, while the program starts, reads what it
    // says and makes the drives it found (in a private folder, removed with
    // the session). Null, with `error`, for a file that cannot be read. A
    // text that is not a trace `program` can replay is said at the first
    // use of the session ("`program`: cannot replay PATH: line N: ..."),
    // which then ends the program with exit status 1.
    static std::unique_ptr<ReplaySession> load(const std::string& path, const std::string& program,
                                               platform::Clock& clock, std::string* error);
    ~ReplaySession();
    ReplaySession(const ReplaySession&) = delete;
    ReplaySession& operator=(const ReplaySession&) = delete;

    using Text = std::function<std::string()>;
    using Match = std::function<bool(const Entry&)>;

    // The next line of the calling thread, once it is at the front, which
    // must be an `op` that `matches`; handed over and passed. `action` says
    // what the program did, `recorded` what the line says instead (by
    // default describe()). Never returns on a difference.
    // A read passes `timedOutAt`, when its own timeout would be over: a
    // recorded timeout is kept till then.
    const Entry& take(Op op, const Text& action, const Match& matches,
                      const std::function<std::string(const Entry&)>& recorded = nullptr,
                      std::optional<std::chrono::steady_clock::time_point> timedOutAt = {},
                      const std::function<std::string(const Entry&)>& note = nullptr);

    // Prints the difference and ends the program with kExitTraceDiffers.
    [[noreturn]] void differs(size_t line, const std::string& action, const std::string& recorded,
                              const std::string& note = "");

    // Device events go to `sink` (on a thread of the session's) from now
    // until stopEvents().
    void startEvents(std::function<void(const std::string&)> sink);
    void stopEvents();

    // The run has ended with `now` (its exit status, and the status texts
    // when the program has them): every line must have been met (device
    // events nobody was listening for aside), and the run must end as the
    // trace says, with the same files left on the drives. Returns when so.
    void finish(const Outcome& now);

    const Trace& trace();
    platform::Clock& clock() { return clock_; }

    // Whether a read's timeout is the recorded one: the same, or the same
    // wait scaled by another --time-scale than the recording's.
    bool sameWait(int recordedMs, int nowMs) const;

    // The folder that plays drive `drive`, with a trailing "/".
    std::string driveRoot(int drive);
    // The drive whose folder `path` lies in, and the path relative to it.
    std::optional<std::pair<int, std::string>> onDrive(const std::string& path);

  private:
    ReplaySession(platform::Clock& clock, std::string program, std::string path);
    void loadInBackground(int fd);
    // A question the program asks again, answered from an earlier line, or
    // null. Only in a trace with an expect line. Caller holds mutex_.
    const Entry* answeredAgain(Op op, const Match& matches, int thread);
    // Whether the next line of `thread`, wherever it is, is this call.
    bool nextOwnMatches(int thread, Op op, const Match& matches) const;
    // The files left on the replayed drive `drive`, below the folders the
    // trace touched.
    DriveFiles leftOn(int drive) const;
    [[noreturn]] void endedDifferently(size_t line, const std::string& recorded,
                                       const std::string& now);
    // Until the trace is read; ends the program when it cannot be replayed.
    void waitLoaded(std::unique_lock<std::mutex>& lock);
    void removeFolder();
    bool makeDrives(std::string* error);
    void skipPassive();            // caller holds mutex_
    void advance(const Entry& e);  // caller holds mutex_
    void wakeAll();                // caller holds mutex_
    std::chrono::steady_clock::duration gapBefore(const Entry& e) const;
    void pumpEvents();
    std::string frontText() const;  // caller holds mutex_

    // Written by the loader before `loaded_`, read only after it.
    Trace trace_;
    platform::Clock& clock_;
    std::string program_;
    std::string path_;
    std::map<std::string, int> threadNumbers_;
    std::string folder_;
    std::map<int, std::string> driveRoots_;  // replay folders

    mutable std::mutex mutex_;
    std::condition_variable changed_;    // loaded, or ending
    std::condition_variable pumpWake_;   // the pump has something to look at
    std::condition_variable delivered_;  // an event has been handed to the sink
    // Per thread of the trace: its line may be at the front.
    std::map<int, std::condition_variable> turns_;
    // Trace thread -> where its questions asked again go on: the next line
    // and the recorded thread whose lines answer.
    std::map<int, std::pair<size_t, int>> again_;
    int answeredAgain_ = 0;
    bool delivering_ = false;  // the sink is being called
    size_t next_ = 0;
    int64_t lastT_ = 0;
    std::chrono::steady_clock::time_point lastProgress_;
    std::function<void(const std::string&)> sink_;
    bool listening_ = false;
    bool stopped_ = false;  // listened, and no longer
    bool ending_ = false;
    bool loaded_ = false;
    std::string loadError_;
    std::thread loader_;
    std::thread pump_;
};

}  // namespace trace

// Writes a device trace as it happens: one line per exchange, each written
// whole as it comes, so that a run that ends badly still leaves every line
// before its end.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/Clock.h"

namespace Json {
class StreamWriter;
}

namespace trace {

// The name a trace gives the calling thread: "main" for the program's first
// thread, else the name it was started with.
std::string currentThreadName();

class TraceWriter {
  public:
    // Creates the file (or empties it) with mode 0600, never through a link.
    // `header` holds what the program says of itself ("program", "version",
    // "args", ...); "about" and "format" are added. Null with `error` set
    // when the file cannot be had.
    static std::unique_ptr<TraceWriter> create(const std::string& path, Json::Value header,
                                               platform::Clock& clock, std::string* error);
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    // Adds `line` with "t" and, when `byThread`, "th" of the calling thread.
    void write(Json::Value line, bool byThread = true);
    // Adds `line` (no thread) and runs `then` before any other line can be
    // added: a device event is handed on at its place among the lines, so
    // that what came of it is written after it. `then` must not wait for a
    // thread that writes lines.
    void writeThen(Json::Value line, const std::function<void()>& then);
    // The last line: how the run ended (`said` holds the status texts when
    // the program has them) and the rider's files left on each drive still
    // there. Nothing is written after it.
    void end(int exitCode, Json::Value said = Json::Value(Json::objectValue));

    // Drives by their root as the program saw it, numbered from 1 as first seen.
    int driveNumber(const std::string& root);
    // The drive whose root `path` lies in, with the path relative to that
    // root ("" for the root itself); none for a path on no drive seen.
    std::optional<std::pair<int, std::string>> onDrive(const std::string& path);
    // Remembers a drive path as known (found or written by the program):
    // true the first time.
    bool firstTouch(int drive, const std::string& path);

  private:
    TraceWriter(int fd, platform::Clock& clock);
    void append(const Json::Value& line);  // caller holds mutex_

    std::mutex mutex_;
    int fd_;
    platform::Clock& clock_;
    int64_t startMs_;
    std::unique_ptr<Json::StreamWriter> json_;
    std::map<std::string, int> threads_;
    std::map<std::string, int> drives_;
    std::set<std::pair<int, std::string>> touched_;
    bool ended_ = false;
    bool failed_ = false;
};

}  // namespace trace

#include "TraceWriter.h"

#include <fcntl.h>
#include <json/writer.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "DriveState.h"
#include "TraceFile.h"

namespace trace {

std::string currentThreadName() {
    // Asked for every report: the name is read from the system once per
    // thread (it is given before the thread runs any of the program).
    thread_local const std::string name = [] {
        if (static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid()) return std::string("main");
        char text[32] = {};
        if (pthread_getname_np(pthread_self(), text, sizeof text) != 0 || !text[0]) {
            return std::string("thread");
        }
        return std::string(text);
    }();
    return name;
}

std::unique_ptr<TraceWriter> TraceWriter::create(const std::string& path, Json::Value header,
                                                 platform::Clock& clock, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<TraceWriter> {
        if (error) *error = "cannot write the trace " + path + ": " + why;
        return nullptr;
    };
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail("not a regular file");
    }
    // An older file of that name may have been open to others.
    if (::fchmod(fd, 0600) != 0) {
        const int e = errno;
        ::close(fd);
        return fail(std::strerror(e));
    }
    std::unique_ptr<TraceWriter> writer(new TraceWriter(fd, clock));
    header["about"] = kAbout;
    header["format"] = kFormat;
    std::lock_guard lock(writer->mutex_);
    writer->append(header);
    if (writer->failed_) return fail("the first line could not be written");
    return writer;
}

TraceWriter::TraceWriter(int fd, platform::Clock& clock)
    : fd_(fd), clock_(clock), startMs_(clock.nowMs()) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;  // labels and file names as they are
    json_.reset(builder.newStreamWriter());
}

TraceWriter::~TraceWriter() {
    ::close(fd_);
}

void TraceWriter::append(const Json::Value& line) {
    if (failed_) return;
    std::ostringstream text;
    json_->write(line, &text);
    text << '\n';
    const std::string bytes = text.str();
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The run goes on: a GPS in the middle of a write must not be
            // left because its trace could not be.
            std::fprintf(stderr, "trace: could not be written (%s); it ends here\n",
                         n < 0 ? std::strerror(errno) : "nothing written");
            failed_ = true;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void TraceWriter::write(Json::Value line, bool byThread) {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    line["t"] = Json::Int64(clock_.nowMs() - startMs_);
    if (byThread) {
        const std::string name = currentThreadName();
        auto [it, added] = threads_.emplace(name, static_cast<int>(threads_.size()) + 1);
        if (added) {
            Json::Value named(Json::objectValue);
            named["op"] = "thread";
            named["th"] = it->second;
            named["name"] = name;
            named["t"] = line["t"];
            append(named);
        }
        line["th"] = it->second;
    }
    append(line);
}

void TraceWriter::writeThen(Json::Value line, const std::function<void()>& then) {
    std::lock_guard lock(mutex_);
    if (!ended_) {
        line["t"] = Json::Int64(clock_.nowMs() - startMs_);
        append(line);
    }
    then();
}

void TraceWriter::end(int exitCode, Json::Value said) {
    Json::Value& line = said;
    line["op"] = "end";
    line["exit"] = exitCode;
    Json::Value left(Json::arrayValue);
    {
        std::lock_guard lock(mutex_);
        for (const auto& [root, number] : drives_) {
            std::error_code ec;
            if (!std::filesystem::is_directory(std::filesystem::symlink_status(root, ec))) {
                continue;  // gone (ejected, or the GPS away): nothing to say of it
            }
            std::set<std::string> tops;
            for (const auto& [drive, path] : touched_) {
                if (drive == number && !path.empty()) tops.insert(path.substr(0, path.find('/')));
            }
            Json::Value drive(Json::objectValue);
            drive["drive"] = number;
            Json::Value files(Json::arrayValue);
            for (const FileState& f : filesLeft(number, root, tops).files) {
                Json::Value file(Json::objectValue);
                file["path"] = f.path;
                file["size"] = Json::UInt64(f.size);
                files.append(file);
            }
            drive["files"] = files;
            left.append(drive);
        }
    }
    line["left"] = left;
    write(line, false);
    std::lock_guard lock(mutex_);
    ended_ = true;
}

int TraceWriter::driveNumber(const std::string& root) {
    std::lock_guard lock(mutex_);
    auto [it, added] = drives_.emplace(root, static_cast<int>(drives_.size()) + 1);
    return it->second;
}

std::optional<std::pair<int, std::string>> TraceWriter::onDrive(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const auto& [root, number] : drives_) {
        std::string bare = root;
        while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
        if (path == bare || path == root) return std::make_pair(number, std::string());
        if (path.size() > bare.size() && path.compare(0, bare.size(), bare) == 0 &&
            path[bare.size()] == '/') {
            // Relative, with one "/" between names; ".." would leave the drive.
            std::string rest;
            std::istringstream parts(path.substr(bare.size() + 1));
            for (std::string part; std::getline(parts, part, '/');) {
                if (part.empty() || part == ".") continue;
                if (part == "..") return std::nullopt;
                if (!rest.empty()) rest += '/';
                rest += part;
            }
            return std::make_pair(number, rest);
        }
    }
    return std::nullopt;
}

bool TraceWriter::firstTouch(int drive, const std::string& path) {
    std::lock_guard lock(mutex_);
    return touched_.emplace(drive, path).second;
}

}  // namespace trace

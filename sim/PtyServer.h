// A simulated serial device: it holds the master side of a pseudo-terminal
// pair and serves it on its own thread, so the program under test opens the
// slave side (path()) as it would open a real serial port.
//
// Subclasses get the host's bytes in onInput and say what goes back with
// send; both run on the server thread. onTick runs every few milliseconds for
// answers that come later. A subclass calls stop() in its own destructor,
// before its members go.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class PtyServer {
  public:
    static constexpr int kTickMs = 2;
    // The serving thread's nice value, when the system allows it.
    static constexpr int kNice = -10;

    // Opens the pair (raw, no echo). Throws std::runtime_error when the
    // system has no pseudo-terminal to give.
    PtyServer();
    virtual ~PtyServer();

    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // The slave's path, e.g. "/dev/pts/4": the port name to open.
    const std::string& path() const { return path_; }

    void start();
    // Ends the thread and waits for it; safe to call twice.
    void stop();
    bool running() const { return thread_.joinable(); }

  protected:
    virtual void onInput(const uint8_t* data, size_t length) = 0;
    virtual void onTick() {}
    // Queues bytes for the host; they go out as the line takes them.
    void send(const uint8_t* data, size_t length);
    void send(const std::vector<uint8_t>& bytes) { send(bytes.data(), bytes.size()); }

  private:
    void run();
    void flushOutput();

    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees a hang-up
    int wake_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::vector<uint8_t> output_;  // server thread only
};

}  // namespace sim

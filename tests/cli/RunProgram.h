// Runs quorta-updater as a child process with its own runtime, cache and
// state folders, feeding standard input and collecting both outputs.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cli_testing {

struct ProgramRun {
    int exitCode = -1;  // -1: killed (timeout) or not started
    std::string out;
    std::string err;
};

// One child process, as a user would start it from a shell: `argv` (a path
// first) with `input` on its standard input, both outputs kept in files of
// `folder`, and `env` added to the environment. Past `timeoutSeconds` it is
// asked to end (SIGTERM: an emulator cleans up after itself), and killed ten
// seconds later; either way its exit code is -1.
struct ChildProcess {
    std::vector<std::string> argv;
    std::string input;
    std::string folder;
    std::vector<std::pair<std::string, std::string>> env;
    int timeoutSeconds = 120;
};
ProgramRun runChildProcess(const ChildProcess& child);

// A new private folder /tmp/`prefix`-XXXXXX, and its removal with all it holds.
std::string makeTempFolder(const std::string& prefix);
void removeTempFolder(const std::string& path);

// A file's whole content; empty when it cannot be read.
std::string readWholeFile(const std::string& path);

// `parts` appear in `text` in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& parts);

class ProgramRunner {
  public:
    ProgramRunner();   // makes the private folders
    ~ProgramRunner();  // removes them

    ProgramRun run(const std::vector<std::string>& args, const std::string& input = "",
                   int timeoutSeconds = 120);
    // Another program of the build (quorta-bl), the same way.
    ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input = "", int timeoutSeconds = 120);

    // The runtime folder the child uses (its instance lock lives there).
    const std::string& runtimeDir() const { return runtime_; }
    // The state folder the child uses (each run keeps its log below it).
    const std::string& stateDir() const { return state_; }
    // A private folder for the test's own files.
    const std::string& baseDir() const { return base_; }
    // The cache folder the child uses (XDG_CACHE_HOME).
    const std::string& cacheDir() const { return cache_; }

  private:
    std::string base_, runtime_, cache_, state_;
};

}  // namespace cli_testing

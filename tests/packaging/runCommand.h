#pragma once

#include <filesystem>
#include <string>

namespace packagingtest {

struct CommandResult {
    int exitCode = -1;   // -1 when the command could not be run or was killed
    std::string output;  // standard output and standard error together
};

// Runs a shell command line and collects what it prints.
CommandResult runCommand(const std::string& commandLine);

// The full path of an executable found on PATH, or empty.
std::filesystem::path findOnPath(const std::string& name);

// Quotes a path or argument for the shell.
std::string shellQuote(const std::string& text);

std::string readFile(const std::filesystem::path& path);

std::filesystem::path sourceDir();

}  // namespace packagingtest

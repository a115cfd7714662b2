// The updater's per-user folders under the XDG cache folder, private to the user.
#pragma once

#include <string>

#include "platform/Paths.h"

namespace platform {

// ${XDG_CACHE_HOME:-~/.cache} (a relative XDG_CACHE_HOME is ignored, as the XDG
// rules say); "" when neither it nor a home folder is known.
std::string userCacheDir();

// ${XDG_STATE_HOME:-~/.local/state}, by the same rules.
std::string userStateDir();

// Makes `path` (and missing parents) a folder of the user's with mode 0700; a
// folder of the user's that is open to others is made private. False, with
// the reason in `problem`, when it exists as a symbolic link or as something
// else than a folder, or belongs to another user.
bool makePrivateDir(const std::string& path, std::string& problem);

class XdgPaths : public Paths {
  public:
    XdgPaths();  // the cache folder of the environment, read at each call
    explicit XdgPaths(std::string cacheDir);  // another base folder (tests)

    // <cache>/Quorta/
    std::string stagingDir(std::string* problem = nullptr) override;
    // <cache>/quorta-updater/
    std::string tempDir(std::string* problem = nullptr) override;

  private:
    // The folder made private, with a trailing "/"; "" when it cannot be
    // had, with the reason on standard error and in `problem`.
    std::string privateFolder(const char* name, std::string* problem);

    std::string cacheDir_;  // "" = from the environment
};

}  // namespace platform

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

// Makes `path` (and missing parents) a folder of the user's with mode 0700.
// False, with the reason in `problem`, when it exists as a symbolic link or as
// something else than a folder, belongs to another user, or is open to others.
bool makePrivateDir(const std::string& path, std::string& problem);

class XdgPaths : public Paths {
  public:
    XdgPaths();  // the cache folder of the environment, read at each call
    explicit XdgPaths(std::string cacheDir);  // another base folder (tests)

    // <cache>/Quorta/
    std::string stagingDir() override;
    // <cache>/quorta-updater/
    std::string tempDir() override;

  private:
    // The folder made private, with a trailing "/"; "" and a line on standard
    // error when it cannot be had.
    std::string privateFolder(const char* name);

    std::string cacheDir_;  // "" = from the environment
};

}  // namespace platform

// A private scratch folder for one test, removed with everything in it.
#pragma once

#include <string>

namespace testing_support {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `text` to `relative` under the folder, creating its folders.
    std::string write(const std::string& relative, const std::string& text) const;
    // Creates the folder `relative` (and its parents).
    std::string mkdir(const std::string& relative) const;
    // Creates the symbolic link `relative` pointing at `target`.
    std::string symlink(const std::string& target, const std::string& relative) const;

  private:
    std::string path_;
};

}  // namespace testing_support

// Files on Linux: every open with O_NOFOLLOW, locks as open-file-description
// byte-range locks (fcntl F_OFD_SETLK, which also keep two writers of the
// same process apart), and tree walks relative to open folder handles, so a
// link swapped in during a walk is met by O_NOFOLLOW instead of followed.
#pragma once

#include "platform/Files.h"

namespace platform {

class LinuxFiles : public Files {
  public:
    bool createFolder(const std::string& path, bool privateMode, std::string* error) override;
    std::unique_ptr<WritableFile> createFile(const std::string& path, std::string* error) override;
    bool deleteFile(const std::string& path, std::string* error) override;
    bool copyFile(const std::string& from, const std::string& to, std::string* error) override;
    TreeResult copyTree(const std::string& from, const std::string& to) override;
    TreeResult copyMissing(const std::string& from, const std::string& to) override;
    TreeResult deleteTree(const std::string& path) override;
    bool renameFolder(const std::string& from, const std::string& to, std::string* error) override;
    TreeResult compareTrees(const std::string& a, const std::string& b,
                            TreeComparison how) override;
    bool isFolder(const std::string& path) override;
    bool exists(const std::string& path) override;
    Presence presence(const std::string& path, std::string* error) override;
    bool readFile(const std::string& path, size_t maxBytes, std::string& content,
                  std::string* error) override;

  private:
    TreeResult copyInto(const std::string& from, const std::string& to, bool keepExisting);
};

}  // namespace platform

// A Files that hands every call to another one, and a WritableFile that does
// the same, so that a decorator (faults in a test rig, a trace recorder)
// overrides only the calls it changes and the rest can never drift from the
// interface.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "platform/Files.h"

namespace platform {

class ForwardingFiles : public Files {
  public:
    // `inner` must outlive this object; it is not used while constructing, so
    // a decorator may pass a member of its own that is built after the base.
    explicit ForwardingFiles(Files& inner) : inner_(inner) {}

    bool createFolder(const std::string& path, bool privateMode, std::string* error) override {
        return inner_.createFolder(path, privateMode, error);
    }
    std::unique_ptr<WritableFile> createFile(const std::string& path, std::string* error) override {
        return inner_.createFile(path, error);
    }
    bool deleteFile(const std::string& path, std::string* error) override {
        return inner_.deleteFile(path, error);
    }
    bool copyFile(const std::string& from, const std::string& to, std::string* error) override {
        return inner_.copyFile(from, to, error);
    }
    TreeResult copyTree(const std::string& from, const std::string& to) override {
        return inner_.copyTree(from, to);
    }
    TreeResult copyMissing(const std::string& from, const std::string& to) override {
        return inner_.copyMissing(from, to);
    }
    TreeResult deleteTree(const std::string& path) override { return inner_.deleteTree(path); }
    bool renameFolder(const std::string& from, const std::string& to, std::string* error) override {
        return inner_.renameFolder(from, to, error);
    }
    TreeResult compareTrees(const std::string& a, const std::string& b,
                            TreeComparison how) override {
        return inner_.compareTrees(a, b, how);
    }
    bool isFolder(const std::string& path) override { return inner_.isFolder(path); }
    bool exists(const std::string& path) override { return inner_.exists(path); }
    Presence presence(const std::string& path, std::string* error) override {
        return inner_.presence(path, error);
    }
    bool readFile(const std::string& path, size_t maxBytes, std::string& content,
                  std::string* error) override {
        return inner_.readFile(path, maxBytes, content, error);
    }

  protected:
    Files& inner() const { return inner_; }

  private:
    Files& inner_;
};

class ForwardingWritableFile : public WritableFile {
  public:
    explicit ForwardingWritableFile(std::unique_ptr<WritableFile> inner)
        : inner_(std::move(inner)) {}

    bool lock(uint64_t offset, uint64_t length) override { return inner_->lock(offset, length); }
    bool unlock(uint64_t offset, uint64_t length) override {
        return inner_->unlock(offset, length);
    }
    size_t write(const uint8_t* data, size_t length) override {
        return inner_->write(data, length);
    }
    bool close() override { return inner_->close(); }
    std::string error() const override { return inner_->error(); }

  protected:
    WritableFile& inner() const { return *inner_; }
    // Destroys the inner file (which closes it), for a decorator that must see
    // the file closed before it acts, as a trace notes what was written; no
    // call may reach the inner file after this.
    void dropInner() { inner_.reset(); }

  private:
    std::unique_ptr<WritableFile> inner_;
};

}  // namespace platform

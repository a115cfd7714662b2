#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/linux/LinuxFileIo.h"
#include "platform/linux/LinuxFiles.h"

namespace platform {

using namespace fileio;

namespace {

// Every difference found is listed up to this many; the count goes on.
constexpr size_t kMaxListedDifferences = 50;

// The name a file of copyMissing is written under until it is whole; one per
// folder, so a copy cut off part way leaves at most this one file, and the
// next copy into the folder writes over it.
constexpr const char* kPassingName = ".quorta-copy.partial";

class TreeCopy {
  public:
    // `keepExisting`: copy only what the target lacks (copyMissing).
    TreeCopy(TreeResult& result, bool keepExisting)
        : result_(result), keepExisting_(keepExisting) {}

    bool copyFolder(int from, int to, const std::string& fromShown, const std::string& toShown) {
        std::vector<std::string> names;
        if (!listFolder(from, names, &result_.error, fromShown)) return false;
        for (const std::string& name : names) {
            const std::string src = join(fromShown, name);
            const std::string dst = join(toShown, name);
            struct stat st {};
            if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                result_.error = "cannot inspect " + src + ": " + errnoText(errno);
                return false;
            }
            if (S_ISDIR(st.st_mode)) {
                if (::mkdirat(to, name.c_str(), 0700) != 0 && errno != EEXIST) {
                    result_.error = "cannot create " + dst + ": " + errnoText(errno);
                    return false;
                }
                if (keepExisting_) {
                    // A file or a link that has the folder's name keeps it.
                    struct stat there {};
                    if (::fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
                        result_.error = "cannot inspect " + dst + ": " + errnoText(errno);
                        return false;
                    }
                    if (!S_ISDIR(there.st_mode)) {
                        result_.kept.push_back(dst);
                        continue;
                    }
                }
                Fd subFrom = openFolderAt(from, name.c_str(), &result_.error, src);
                if (!subFrom.valid()) return false;
                Fd subTo = openFolderAt(to, name.c_str(), &result_.error, dst);
                if (!subTo.valid()) return false;
                if (!copyFolder(subFrom.get(), subTo.get(), src, dst)) return false;
            } else if (S_ISREG(st.st_mode) && keepExisting_ && name != kPassingName) {
                if (!copyIfMissing(from, to, name, src, dst)) return false;
            } else if (S_ISREG(st.st_mode) && !keepExisting_) {
                if (!copyOne(from, to, name, src, dst)) return false;
            } else {
                result_.skipped.push_back(src);
            }
        }
        return true;
    }

  private:
    bool copyIfMissing(int from, int to, const std::string& name, const std::string& src,
                       const std::string& dst) {
        struct stat there {};
        if (::fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
            result_.kept.push_back(dst);
            return true;
        }
        if (errno != ENOENT) {
            result_.error = "cannot inspect " + dst + ": " + errnoText(errno);
            return false;
        }
        struct stat st {};
        Fd in = openRegularForRead(from, name.c_str(), &st, &result_.error, src);
        if (!in.valid()) return false;
        Fd out = openForWrite(to, kPassingName, 0600, &result_.error, dst);
        if (!out.valid()) return false;
        uint64_t copied = 0;
        if (!copyContent(in.get(), out.get(), uint64_t(st.st_size), dst, &result_.error, &copied) ||
            !closeWritten(out, dst, &result_.error)) {
            ::unlinkat(to, kPassingName, 0);  // fails too when the drive has gone
            return false;
        }
        // RENAME_NOREPLACE: a file that appeared meanwhile is not replaced.
        int rc = ::renameat2(to, kPassingName, to, name.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            if (::fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
                errno = EEXIST;
            } else {
                rc = ::renameat(to, kPassingName, to, name.c_str());
            }
        }
        if (rc != 0) {
            const int err = errno;
            ::unlinkat(to, kPassingName, 0);
            if (err == EEXIST) {
                result_.kept.push_back(dst);
                return true;
            }
            result_.error = "cannot name " + dst + ": " + errnoText(err);
            return false;
        }
        // The new name is only lasting once the folder is flushed (where the
        // file system can flush a folder at all).
        if (::fsync(to) != 0 && errno != EINVAL && errno != EROFS && errno != ENOSYS &&
            errno != ENOTSUP) {
            result_.error = "cannot flush the folder of " + dst + ": " + errnoText(errno);
            return false;
        }
        result_.files += 1;
        result_.bytes += copied;
        return true;
    }

    bool copyOne(int from, int to, const std::string& name, const std::string& src,
                 const std::string& dst) {
        struct stat st {};
        Fd in = openRegularForRead(from, name.c_str(), &st, &result_.error, src);
        if (!in.valid()) return false;
        Fd out = openForWrite(to, name.c_str(), 0600, &result_.error, dst);
        if (!out.valid()) return false;
        uint64_t copied = 0;
        if (!copyContent(in.get(), out.get(), uint64_t(st.st_size), dst, &result_.error, &copied))
            return false;
        if (!closeWritten(out, dst, &result_.error)) return false;
        result_.files += 1;
        result_.bytes += copied;
        return true;
    }

    TreeResult& result_;
    bool keepExisting_;
};

class TreeDelete {
  public:
    explicit TreeDelete(TreeResult& result) : result_(result) {}

    bool emptyFolder(int dirFd, const std::string& shown) {
        std::vector<std::string> names;
        if (!listFolder(dirFd, names, &result_.error, shown)) return false;
        for (const std::string& name : names) {
            const std::string path = join(shown, name);
            struct stat st {};
            if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                result_.error = "cannot inspect " + path + ": " + errnoText(errno);
                return false;
            }
            if (S_ISDIR(st.st_mode)) {
                Fd sub = openFolderAt(dirFd, name.c_str(), &result_.error, path);
                if (!sub.valid()) return false;
                if (!emptyFolder(sub.get(), path)) return false;
                sub.reset();
                if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) {
                    result_.error = "cannot remove " + path + ": " + errnoText(errno);
                    return false;
                }
            } else {
                // A link goes itself; what it points at is never touched.
                if (S_ISLNK(st.st_mode)) result_.skipped.push_back(path);
                if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) {
                    result_.error = "cannot remove " + path + ": " + errnoText(errno);
                    return false;
                }
                if (S_ISREG(st.st_mode)) {
                    result_.files += 1;
                    result_.bytes += uint64_t(st.st_size);
                }
            }
        }
        return true;
    }

  private:
    TreeResult& result_;
};

class TreeCompare {
  public:
    TreeCompare(TreeResult& result, TreeComparison how) : result_(result), how_(how) {}

    // False only when the walk itself could not go on.
    bool compareFolder(int a, int b, const std::string& rel, const std::string& aShown,
                       const std::string& bShown) {
        std::vector<std::string> namesA, namesB;
        if (!listFolder(a, namesA, &result_.error, aShown)) return false;
        if (!listFolder(b, namesB, &result_.error, bShown)) return false;
        if (how_ == TreeComparison::Identical) {
            for (const std::string& name : namesB) {
                if (!std::binary_search(namesA.begin(), namesA.end(), name))
                    differ(join(rel, name) + ": only in the copy");
            }
        }
        for (const std::string& name : namesA) {
            const std::string r = join(rel, name);
            const std::string pa = join(aShown, name);
            const std::string pb = join(bShown, name);
            struct stat sa {
            }, sb{};
            if (::fstatat(a, name.c_str(), &sa, AT_SYMLINK_NOFOLLOW) != 0) {
                result_.error = "cannot inspect " + pa + ": " + errnoText(errno);
                return false;
            }
            if (::fstatat(b, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
                differ(r + ": missing");
                continue;
            }
            const mode_t ta = sa.st_mode & S_IFMT, tb = sb.st_mode & S_IFMT;
            if (ta != tb) {
                differ(r + ": not the same kind of entry");
                continue;
            }
            if (S_ISDIR(sa.st_mode)) {
                Fd subA = openFolderAt(a, name.c_str(), &result_.error, pa);
                if (!subA.valid()) return false;
                Fd subB = openFolderAt(b, name.c_str(), nullptr, pb);
                if (!subB.valid()) {
                    differ(r + ": cannot be opened in the copy");
                    continue;
                }
                if (!compareFolder(subA.get(), subB.get(), r, pa, pb)) return false;
            } else if (S_ISREG(sa.st_mode)) {
                if (!compareFile(a, b, name, r, pa, pb, sa, sb)) return false;
            } else if (S_ISLNK(sa.st_mode)) {
                result_.skipped.push_back(pa);
                if (linkText(a, name) != linkText(b, name)) differ(r + ": links differ");
            } else {
                result_.skipped.push_back(pa);
            }
        }
        return true;
    }

  private:
    static std::string linkText(int dirFd, const std::string& name) {
        std::vector<char> buf(4096);
        ssize_t n = ::readlinkat(dirFd, name.c_str(), buf.data(), buf.size());
        return n < 0 ? std::string("\0?", 2) : std::string(buf.data(), size_t(n));
    }

    bool compareFile(int a, int b, const std::string& name, const std::string& rel,
                     const std::string& pa, const std::string& pb, const struct stat& sa,
                     const struct stat& sb) {
        if (sa.st_size != sb.st_size) {
            differ(rel + ": " + std::to_string(sb.st_size) + " bytes instead of " +
                   std::to_string(sa.st_size));
            return true;
        }
        struct stat st {};
        Fd fa = openRegularForRead(a, name.c_str(), &st, &result_.error, pa);
        if (!fa.valid()) return false;
        std::string problem;
        Fd fb = openRegularForRead(b, name.c_str(), &st, &problem, pb);
        if (!fb.valid()) {
            differ(rel + ": " + problem);
            return true;
        }
        // Buffers reused from file to file, sized for the largest seen.
        const size_t want = size_t(std::min<uint64_t>(uint64_t(sa.st_size) + 1, kCopyChunk));
        if (ba_.size() < want) {
            ba_.resize(want);
            bb_.resize(want);
        }
        std::vector<uint8_t>& ba = ba_;
        std::vector<uint8_t>& bb = bb_;
        uint64_t offset = 0;
        for (;;) {
            ssize_t na = readFull(fa.get(), ba.data(), want);
            ssize_t nb = readFull(fb.get(), bb.data(), want);
            if (na < 0) {
                result_.error = "cannot read " + pa + ": " + errnoText(errno);
                return false;
            }
            if (nb < 0) {
                differ(rel + ": cannot be read in the copy");
                return true;
            }
            if (na != nb || std::memcmp(ba.data(), bb.data(), size_t(na)) != 0) {
                size_t at = 0;
                const size_t common = size_t(std::min(na, nb));
                while (at < common && ba[at] == bb[at]) ++at;
                differ(rel + ": differs at byte " + std::to_string(offset + at));
                return true;
            }
            if (na == 0) break;
            offset += uint64_t(na);
        }
        result_.files += 1;
        result_.bytes += offset;
        return true;
    }

    void differ(std::string what) {
        if (result_.differences.size() < kMaxListedDifferences)
            result_.differences.push_back(std::move(what));
    }

    TreeResult& result_;
    TreeComparison how_;
    std::vector<uint8_t> ba_, bb_;
};

}  // namespace

TreeResult LinuxFiles::copyTree(const std::string& rawFrom, const std::string& rawTo) {
    return copyInto(rawFrom, rawTo, false);
}

TreeResult LinuxFiles::copyMissing(const std::string& rawFrom, const std::string& rawTo) {
    return copyInto(rawFrom, rawTo, true);
}

TreeResult LinuxFiles::copyInto(const std::string& rawFrom, const std::string& rawTo,
                                bool keepExisting) {
    TreeResult result;
    const std::string from = trimmed(rawFrom), to = trimmed(rawTo);
    Fd src = openRoot(from, &result.error);
    if (!src.valid()) return result;
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        result.error = to + " is a symbolic link; it is not followed";
        return result;
    }
    if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) {
        result.error = "cannot create " + to + ": " + errnoText(errno);
        return result;
    }
    Fd dst = openRoot(to, &result.error);
    if (!dst.valid()) return result;
    TreeCopy copy(result, keepExisting);
    result.ok = copy.copyFolder(src.get(), dst.get(), from, to);
    return result;
}

TreeResult LinuxFiles::deleteTree(const std::string& rawPath) {
    TreeResult result;
    const std::string path = trimmed(rawPath);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            result.ok = true;
        } else {
            result.error = "cannot inspect " + path + ": " + errnoText(errno);
        }
        return result;
    }
    if (S_ISLNK(st.st_mode)) {
        result.error = path + " is a symbolic link; it is not followed";
        return result;
    }
    Fd root = openRoot(path, &result.error);
    if (!root.valid()) return result;
    TreeDelete remover(result);
    if (!remover.emptyFolder(root.get(), path)) return result;
    root.reset();
    if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
        result.error = "cannot remove " + path + ": " + errnoText(errno);
        return result;
    }
    result.ok = true;
    return result;
}

TreeResult LinuxFiles::compareTrees(const std::string& rawA, const std::string& rawB,
                                    TreeComparison how) {
    TreeResult result;
    const std::string a = trimmed(rawA), b = trimmed(rawB);
    Fd fa = openRoot(a, &result.error);
    if (!fa.valid()) return result;
    Fd fb = openRoot(b, &result.error);
    if (!fb.valid()) return result;
    TreeCompare compare(result, how);
    if (!compare.compareFolder(fa.get(), fb.get(), "", a, b)) return result;
    result.ok = result.differences.empty();
    if (!result.ok) result.error = "the trees differ";
    return result;
}

}  // namespace platform

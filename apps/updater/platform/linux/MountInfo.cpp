#include "platform/linux/MountInfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace platform {

namespace {

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// Splits on single spaces; the kernel never puts a raw space inside a field.
std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos >= line.size()) break;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
    if (text.empty()) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

std::string unescapeMountField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF && value != 0) {  // a NUL cannot be part of a path
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::optional<MountEntry> parseMountInfoLine(std::string_view line) {
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    // The kernel never writes a raw NUL; a path holding one would be cut
    // short by every system call and name another folder.
    if (line.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string_view> f = splitFields(line);
    if (f.size() < 9) return std::nullopt;
    size_t sep = 6;
    while (sep < f.size() && f[sep] != "-") ++sep;
    if (sep + 2 >= f.size()) return std::nullopt;  // no separator, or no type and source

    MountEntry e;
    if (!parseNumber(f[0], e.mountId) || !parseNumber(f[1], e.parentId)) return std::nullopt;
    size_t colon = f[2].find(':');
    if (colon == std::string_view::npos || !parseNumber(f[2].substr(0, colon), e.major) ||
        !parseNumber(f[2].substr(colon + 1), e.minor)) {
        return std::nullopt;
    }
    e.root = unescapeMountField(f[3]);
    e.mountPoint = unescapeMountField(f[4]);
    e.options = std::string(f[5]);
    e.fsType = unescapeMountField(f[sep + 1]);
    e.source = unescapeMountField(f[sep + 2]);
    if (sep + 3 < f.size()) e.superOptions = std::string(f[sep + 3]);
    if (e.mountPoint.empty() || e.mountPoint[0] != '/') return std::nullopt;
    return e;
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        if (auto e = parseMountInfoLine(text.substr(pos, end - pos)))
            entries.push_back(std::move(*e));
        pos = end + 1;
    }
    return entries;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

bool hasMountOption(std::string_view options, std::string_view option) {
    while (!options.empty()) {
        const size_t comma = options.find(',');
        if (options.substr(0, comma) == option) return true;
        if (comma == std::string_view::npos) break;
        options.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace platform

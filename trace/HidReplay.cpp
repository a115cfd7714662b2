#include "HidReplay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace trace {

namespace {

std::string ids(unsigned short vendorId, unsigned short productId) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

}  // namespace

int HidReplay::open(unsigned short vendorId, unsigned short productId, std::wstring& error,
                    std::string& permissionNode) {
    const Entry& e = session_.take(
        Op::Open, [&] { return "opened " + ids(vendorId, productId); },
        [&](const Entry& r) { return r.vendorId == vendorId && r.productId == productId; });
    if (e.handle) return e.handle;
    error = widen(e.more().error);
    permissionNode = e.more().permissionNode;
    return 0;
}

int HidReplay::read(int handle, unsigned char* data, size_t length, int milliseconds) {
    const auto asked = std::chrono::steady_clock::now();
    const auto timedOutAt =
        milliseconds > 0 ? asked + session_.clock().realDuration(milliseconds) : asked;
    // The buffer and the timeout asked for are part of the exchange: a
    // shorter buffer or another wait may end otherwise on a real device.
    const Entry& e = session_.take(
        Op::Read,
        [&] {
            return "read handle " + std::to_string(handle) + " (" + std::to_string(length) +
                   " bytes, wait " + std::to_string(milliseconds) + " ms)";
        },
        [&](const Entry& r) {
            return r.handle == handle && size_t{r.bufferSize} == length &&
                   session_.sameWait(r.waitMs, milliseconds);
        },
        [&](const Entry& r) {
            if (r.op != Op::Read) return describe(r);
            return "read handle " + std::to_string(r.handle) + " (" + std::to_string(r.bufferSize) +
                   " bytes, wait " + std::to_string(r.waitMs) + " ms)";
        },
        timedOutAt);
    if (e.length > static_cast<int>(length)) {
        session_.differs(
            e.line, "read " + std::to_string(length) + " bytes on handle " + std::to_string(handle),
            std::to_string(e.length) + " bytes");
    }
    if (e.length > 0) std::memcpy(data, e.bytes.data(), e.bytes.size());
    return e.result;
}

int HidReplay::write(int handle, const unsigned char* data, size_t length, int,
                     std::wstring& error) {
    const Entry& e = session_.take(
        Op::Write, [&] { return "wrote " + toHex(data, length); },
        [&](const Entry& r) {
            return r.handle == handle && r.bytes.size() == length &&
                   std::equal(r.bytes.begin(), r.bytes.end(), data);
        },
        [&](const Entry& r) {
            if (r.op != Op::Write) return describe(r);
            std::string text = toHex(r.bytes.data(), r.bytes.size());
            if (r.handle != handle) text += " on handle " + std::to_string(r.handle);
            return text;
        },
        std::nullopt,
        [&](const Entry& r) -> std::string {
            if (r.op != Op::Write) return "";
            if (r.bytes.size() != length) {
                // Appended piece by piece: GCC 12 at -O3 misreads a literal
                // plus a string as overlapping copies and stops the build.
                std::string text = "(";
                text += std::to_string(length);
                text += " bytes written, ";
                text += std::to_string(r.bytes.size());
                text += " recorded)";
                return text;
            }
            const auto at = std::mismatch(r.bytes.begin(), r.bytes.end(), data);
            if (at.first == r.bytes.end()) return "(on another handle)";
            std::string text = "(byte ";
            text += std::to_string(at.first - r.bytes.begin());
            text += " of ";
            text += std::to_string(length);
            text += " differs)";
            return text;
        });
    if (e.result < 0) error = widen(e.more().error.empty() ? "write failed" : e.more().error);
    return e.result;
}

void HidReplay::close(int handle) {
    session_.take(
        Op::Close, [&] { return "closed handle " + std::to_string(handle); },
        [&](const Entry& r) { return r.handle == handle; });
}

void HidReplay::exit() {
    session_.take(
        Op::Exit, [] { return std::string("called hid_exit"); }, [](const Entry&) { return true; });
}

}  // namespace trace

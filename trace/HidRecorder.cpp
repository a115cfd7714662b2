#include "HidRecorder.h"

#include <algorithm>
#include <cstdio>

#include "TraceFile.h"

namespace trace {

namespace {

std::string usbId(unsigned short id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}

Json::Value line(const char* op) {
    Json::Value v(Json::objectValue);
    v["op"] = op;
    return v;
}

}  // namespace

int HidRecorder::number(const hidport::hid_device* handle, bool forget) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    int n;
    if (it == handles_.end()) {
        // Opened before the recording began: numbered where first met.
        n = next_++;
        if (!forget) handles_[handle] = n;
    } else {
        n = it->second;
        if (forget) handles_.erase(it);
    }
    return n;
}

void HidRecorder::opened(unsigned short vendorId, unsigned short productId,
                         const hidport::hid_device* handle, const std::wstring& error,
                         int errorNumber, const std::string& permissionNode) {
    Json::Value v = line("open");
    v["vid"] = usbId(vendorId);
    v["pid"] = usbId(productId);
    if (handle) {
        v["h"] = number(handle);
    } else {
        v["error"] = narrow(error);
        v["errno"] = errorNumber;
        if (!permissionNode.empty()) v["node"] = permissionNode;
    }
    writer_.write(v);
}

void HidRecorder::wrote(const hidport::hid_device* handle, const unsigned char* data, size_t length,
                        int result) {
    Json::Value v = line("write");
    v["h"] = number(handle);
    v["n"] = Json::UInt64(length);
    v["hex"] = toHex(data, length);
    if (result != static_cast<int>(length)) v["result"] = result;
    writer_.write(v);
}

void HidRecorder::read(const hidport::hid_device* handle, const unsigned char* data, size_t length,
                       int milliseconds, int result) {
    Json::Value v = line("read");
    v["h"] = number(handle);
    v["size"] = Json::UInt64(length);
    v["wait"] = milliseconds;
    v["n"] = result < 0 ? -1 : result;
    if (result > 0) v["hex"] = toHex(data, std::min(static_cast<size_t>(result), length));
    if (result == 0) v["timeout"] = true;
    writer_.write(v);
}

void HidRecorder::closed(const hidport::hid_device* handle) {
    Json::Value v = line("close");
    v["h"] = number(handle, true);
    writer_.write(v);
}

void HidRecorder::exited() {
    writer_.write(line("hid_exit"));
}

}  // namespace trace

// HexDataProducer::initFromString on any text, checked against a plain
// reading of the same rule, and the producer handing the bytes out again.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "bootloader/DataPacket.h"

namespace {

using fuzzing::check;

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<int> digits;
    for (unsigned char c : text) {
        if (hexValue(c) >= 0) digits.push_back(hexValue(c));
    }
    std::vector<uint8_t> expected;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        expected.push_back(static_cast<uint8_t>(digits[i] << 4 | digits[i + 1]));
    }
    if (digits.size() % 2) expected.push_back(static_cast<uint8_t>(digits.back()));

    bootloader::HexDataProducer producer;
    const uint32_t count = producer.initFromString(text);
    check(count == expected.size());
    check(producer.bytes() == expected);
    check(producer.getDataSize() == count);

    std::vector<uint8_t> out;
    uint8_t packet[32];
    while (producer.hasMoreData()) {
        const uint32_t n = producer.getData(packet, sizeof packet);
        check(n > 0 && n <= sizeof packet);
        out.insert(out.end(), packet, packet + n);
    }
    check(out == expected);

    // A second parse of the same producer starts afresh.
    check(producer.initFromString(text) == count);
    check(producer.hasMoreData() == (count > 0));
    return 0;
}

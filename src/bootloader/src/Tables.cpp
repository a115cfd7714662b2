#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "bootloader/Command.h"

namespace bootloader {

const CommandEntry kCommandTable[17] = {
    {1, 0x1, "flash-erase-all"},
    {2, 0x2, "flash-erase-region"},
    {3, 0x4, "read-memory"},
    {4, 0x8, "write-memory"},
    {5, 0x10, "fill-memory"},
    {6, 0x20, "flash-security-disable"},
    {7, 0x40, "get-property"},
    {8, 0x80, "receive-sb-file"},
    {9, 0x100, "execute"},
    {10, 0x200, "call"},
    {11, 0x400, "reset"},
    {12, 0x800, "set-property"},
    {13, 0x1000, "flash-erase-all-unsecure"},
    {14, 0x2000, "flash-program-once"},
    {15, 0x4000, "flash-read-once"},
    {16, 0x8000, "flash-read-resource"},
    {17, 0x10000, "configure-quadspi"},
};

const PropertyEntry kPropertyTable[26] = {
    {0, "list-properties"},
    {1, "current-version"},
    {2, "available-peripherals"},
    {3, "flash-start-address"},
    {4, "flash-size-in-bytes"},
    {5, "flash-sector-size"},
    {6, "flash-block-count"},
    {7, "available-commands"},
    {8, "crc-check-status"},
    {9, "reserved"},
    {10, "verify-writes"},
    {11, "max-packet-size"},
    {12, "reserved-regions"},
    {13, "validate-regions"},
    {14, "ram-start-address"},
    {15, "ram-size-in-bytes"},
    {16, "system-device-id"},
    {17, "flash-security-state"},
    {18, "unique-device-id"},
    {19, "flash-fac-support"},
    {20, "flash-access-segment-size"},
    {21, "flash-access-segment-count"},
    {22, "flash-read-margin"},
    {23, "qspi/otfad-init-status"},
    {24, "target-version"},
    {25, "external-memory-attributes"},
};

const PropertyEntry kInvalidPropertyEntry = {255, "invalid-property"};

const PeripheralEntry kPeripheralTable[7] = {
    {0x1, "UART"},     {0x2, "I2C Slave"}, {0x4, "SPI Slave"}, {0x8, "CAN"},
    {0x10, "USB HID"}, {0x20, "USB CDC"},  {0x40, "USB DFU"},
};

const StatusEntry kStatusTable[] = {
    // Generic
    {0, "Success."},
    {1, "Failure."},
    {2, "kStatus_ReadOnly"},
    {3, "kStatus_OutOfRange"},
    {4, "kStatus_InvalidArgument"},
    // Flash driver
    {100, "kStatus_FlashSizeError"},
    {101, "kStatus_FlashAlignmentError"},
    {102, "kStatus_FlashAddressError"},
    {103, "kStatus_FlashAccessError"},
    {104, "kStatus_FlashProtectionViolation"},
    {105, "kStatus_FlashCommandFailure"},
    {106, "kStatus_FlashUnknownProperty"},
    {108, "kStatus_FlashRegionExecuteOnly"},
    {109, "kStatus_FlashExecuteInRamFunctionNotReady"},
    // I2C
    {200, "I2C Slave TX Underrun error."},
    {201, "I2C Slave RX Overrun error."},
    {202, "I2C Arbitration Lost error."},
    // SPI
    {300, "SPI Slave TX Underrun error."},
    {301, "SPI Slave RX Overrun error."},
    // QSPI
    {400, "QSPI Flash Size error."},
    {401, "QSPI Flash Alignment error."},
    {402, "QSPI Flash Address error."},
    {403, "QSPI Flash Command Failure."},
    {404, "QSPI Flash Unknown Property."},
    {405, "QSPI Not Configured."},
    {406, "QSPI Command Not Supported."},
    {407, "QSPI Command Timeout"},
    {408, "QSPI Write Failure."},
    // OTFAD
    {500, "OTFAD Security Violation."},
    {501, "OTFAD Logically Disabled."},
    {502, "OTFAD Invalid Key."},
    {503, "OTFAD Invalid KeyBlob."},
    // Bootloader
    {10000, "kStatus_UnknownCommand"},
    {10001, "Command disallowed when security is enabled."},
    {10002, "kStatus_AbortDataPhase"},
    {10003, "kStatus_Ping"},
    {10004, "No response packet from target device."},
    {10005, "No response packet from target device was expected."},
    // SB loader
    {10100, "kStatusRomLdrSectionOverrun"},
    {10101, "kStatusRomLdrSignature"},
    {10102, "kStatusRomLdrSectionLength"},
    {10103, "kStatusRomLdrUnencryptedOnly"},
    {10104, "kStatusRomLdrEOFReached"},
    {10105, "kStatusRomLdrChecksum"},
    {10106, "kStatusRomLdrCrc32Error"},
    {10107, "kStatusRomLdrUnknownCommand"},
    {10108, "kStatusRomLdrIdNotFound"},
    {10109, "kStatusRomLdrDataUnderrun"},
    {10110, "kStatusRomLdrJumpReturned"},
    {10111, "kStatusRomLdrCallFailed"},
    {10112, "kStatusRomLdrKeyNotFound"},
    {10113, "kStatusRomLdrSecureOnly"},
    // Memory interface
    {10200, "kStatusMemoryRangeInvalid"},
    {10201, "kStatusMemoryReadFailed"},
    {10202, "kStatusMemoryWriteFailed"},
    // Property store
    {10300, "Unknown property."},
    {10301, "Property is read-only."},
    {10302, "Invalid property value."},
    // Application CRC check
    {10400, "kStatus_AppCrcCheckPassed"},
    {10401, "kStatus_AppCrcCheckFailed"},
    {10402, "kStatus_AppCrcCheckInactive"},
    {10403, "kStatus_AppCrcCheckInvalid"},
    {10404, "kStatus_AppCrcCheckOutOfRange"},
    // Packetizer
    {10500, "No response received for ping command."},
    {10501, "Invalid packet type."},
    {10502, "Invalid CRC value."},
    {10503, "No response received for command."},
    // End of table
    {0x7FFFFFFF, ""},
};

std::string getStatusMessage(int32_t code) {
    for (const StatusEntry* e = kStatusTable; e->code != 0x7FFFFFFF; ++e) {
        if (e->code == code) return e->message;
    }
    char text[48];
    std::snprintf(text, sizeof text, "Unknown error code (%d)", code);
    return text;
}

bool stringToUint(const std::string& text, uint32_t* value) {
    // Only a text that starts with a digit is a number here: this refuses
    // "-4" and also " -4" and "+4", which strtoul would quietly accept.
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (value) *value = static_cast<uint32_t>(parsed);
    // A value that does not fit 32 bits would silently wrap: refuse it.
    return errno == 0 && parsed <= 0xFFFFFFFFull && end && *end == '\0';
}

uint32_t parseNumber(const std::string& text) {
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

}  // namespace bootloader

#include "bootloader/UartPeripheral.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "SerialIo.h"
#include "bootloader/Logger.h"

namespace bootloader {

namespace {

struct SpeedEntry {
    long speed;
    speed_t constant;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speedConstant(long speed, speed_t* constant) {
    for (const auto& entry : kSpeeds) {
        if (entry.speed == speed) {
            *constant = entry.constant;
            return true;
        }
    }
    return false;
}

// The drain at open stops here even on a line that never falls silent.
constexpr int kMaxDrainBytes = 65536;
// A write waits this long, plus a millisecond per byte, for the port to take
// the bytes; a port that takes nothing for that long is not going to.
constexpr uint32_t kWriteTimeoutMs = 2000;

}  // namespace

std::string UartPeripheral::portPath(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    return "/dev/" + name;
}

bool UartPeripheral::isSupportedSpeed(long speed) {
    speed_t constant;
    return speedConstant(speed, &constant);
}

UartPeripheral::UartPeripheral(const char* port, long speed) {
    const std::string name = port ? port : "";
    auto fail = [&](const char* what, int error) {
        if (error) {
            logError("UartPeripheral: %s '%s': %s\n", what, portPath(name).c_str(),
                     std::strerror(error));
        } else {
            logError("UartPeripheral: %s '%s'\n", what, portPath(name).c_str());
        }
        if (fd_ >= 0) {
            ::ioctl(fd_, TIOCNXCL);
            ::close(fd_);
            fd_ = -1;
        }
        char text[512];
        std::snprintf(text, sizeof text,
                      "Error: UartPeripheral() cannot open PC UART port(%s), speed(%d Hz).",
                      name.c_str(), static_cast<int>(speed));
        throw std::runtime_error(text);
    };

    speed_t constant;
    if (!speedConstant(speed, &constant)) fail("no standard speed for", 0);
    if (name.empty()) fail("no port name given for", 0);

    // Non-blocking: the open must not wait for modem lines, and every read
    // and write waits through poll with its own timeout.
    fd_ = ::open(portPath(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) fail("cannot open", errno);
    if (!::isatty(fd_)) fail("not a serial port:", 0);
    // Not shared: other programs that lock the port, and later opens, are
    // kept out while this one has it.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) fail("port in use:", errno);
    ::ioctl(fd_, TIOCEXCL);

    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) fail("cannot read the line settings of", errno);
    ::cfmakeraw(&tio);
    tio.c_iflag = IGNBRK;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;  // reads return at once; poll does the waiting
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, constant) != 0 || ::cfsetospeed(&tio, constant) != 0) {
        fail("cannot set the speed of", errno);
    }
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) fail("cannot set up the line of", errno);

    // Whatever the target said before we were listening is not an answer.
    for (int drained = 0; drained < kMaxDrainBytes;) {
        ssize_t n = ::read(fd_, scratch_, sizeof scratch_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        drained += static_cast<int>(n);
    }
}

UartPeripheral::~UartPeripheral() {
    if (fd_ >= 0) {
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
}

status_t UartPeripheral::read(uint8_t* buffer, uint32_t requested, uint32_t* actual, uint32_t) {
    int n = serialio::readFor(fd_, buffer, requested, serialio::readTimeoutMs(requested));
    const uint32_t got = n > 0 ? static_cast<uint32_t>(n) : 0;
    if (actual) *actual = got;
    serialio::trace("<", buffer, got, ">\n");
    if (n < 0) return kStatus_Fail;
    return got < requested ? kStatus_Timeout : kStatus_Success;
}

status_t UartPeripheral::write(const uint8_t* buffer, uint32_t byteCount) {
    serialio::trace("[", buffer, byteCount, "]\n");
    int n = serialio::writeFor(fd_, buffer, byteCount, kWriteTimeoutMs + byteCount);
    return n == static_cast<int>(byteCount) ? kStatus_Success : kStatus_Fail;
}

}  // namespace bootloader

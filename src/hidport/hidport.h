// hidapi-shaped entry points. Every HID access of the updater and of the
// bootloader library goes through here, so that the same code drives either a
// real device (through Debian's hidapi, libhidapi-hidraw) or a simulated one.
//
// The names live in namespace hidport so they never collide with the C
// symbols of the real library, which the real backend calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace hidport {

struct hid_device;

// Opens the first device with this vendor and product id. The serial number is
// accepted for the shape of the call and ignored, as the bootloader expects.
hid_device* hid_open(unsigned short vendorId, unsigned short productId,
                     const wchar_t* serialNumber);

// Reads one input report (report id first). Returns the byte count, 0 on
// timeout, -1 on error (a device that went away is an error).
int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds);

// Writes one output report (report id first), padded with zeros to the
// device's output report length when shorter. Waits at most `milliseconds`
// and returns the bytes written, or -1 on timeout or error.
int hid_write_timeout(hid_device* dev, const unsigned char* data, size_t length, int milliseconds);

void hid_close(hid_device* dev);

// Releases library-wide state of the real backend. Returns 0.
int hid_exit();

// Text of the last error on this handle (or of the last failed open when dev is
// null); null when there is none. Valid until the next call on that handle.
const wchar_t* hid_error(hid_device* dev);

// --- The simulated backend -------------------------------------------------

// A device that lives inside the process. Implementations do their own
// locking: they are called from whatever thread uses the handle.
class SimulatedHidDevice {
  public:
    virtual ~SimulatedHidDevice() = default;

    virtual uint16_t vendorId() const = 0;
    virtual uint16_t productId() const = 0;
    // Length of an output report including the report id byte; shorter writes
    // are padded to it.
    virtual size_t outputReportLength() const = 0;

    // Called by hid_open; false refuses the open (as a busy or absent node).
    virtual bool open() = 0;
    // When open() refuses for lack of permission: the node a real device
    // would have ("/dev/hidraw3"); empty for every other refusal.
    virtual std::string permissionDeniedNode() const { return {}; }
    virtual void close() = 0;

    // Same results as hid_read_timeout / hid_write_timeout. `data` of a write
    // is already padded to outputReportLength().
    virtual int read(unsigned char* data, size_t length, int milliseconds) = 0;
    virtual int write(const unsigned char* data, size_t length, int milliseconds) = 0;
};

// --- A backend from outside ------------------------------------------------------

// Answers every call itself, with handles of its own numbering: the replay of
// a recorded device trace. Called from whatever thread uses the handle.
class ExternalBackend {
  public:
    virtual ~ExternalBackend() = default;
    // A handle number above 0, or 0 with `error` set (and `permissionNode`
    // when the open was refused for lack of permission).
    virtual int open(unsigned short vendorId, unsigned short productId, std::wstring& error,
                     std::string& permissionNode) = 0;
    virtual int read(int handle, unsigned char* data, size_t length, int milliseconds) = 0;
    // `data` as the caller gave it, not padded; `error` set when returning -1.
    virtual int write(int handle, const unsigned char* data, size_t length, int milliseconds,
                      std::wstring& error) = 0;
    virtual void close(int handle) = 0;
    virtual void exit() = 0;
};

enum class Backend { Real, Simulated, External };

// What the calls below keep between them: the backend, the simulated
// devices, the observer, the last open's failure, the counters. The process
// starts with one whose backend is Real.
struct Context;

// A fresh context with `backend`, current from construction to destruction;
// the previous one is current again after. Installed before any thread uses
// it, ended after they are joined and every handle is closed.
class ScopedContext {
  public:
    explicit ScopedContext(Backend backend);
    ~ScopedContext();
    ScopedContext(const ScopedContext&) = delete;
    ScopedContext& operator=(const ScopedContext&) = delete;

  private:
    std::unique_ptr<Context> context_;
    Context* previous_;
};

// Which backend hid_open uses. Real by default; a program started with
// --simulate and every test switch to Simulated, so that no real device is
// ever touched; a replayed trace switches to External.
void setBackend(Backend backend);
Backend backend();
// The backend of Backend::External; must outlive every handle it opened.
void setExternalBackend(ExternalBackend* external);

// --- Watching every call ------------------------------------------------------------

// Sees every call and its result, after the backend answered, on the calling
// thread: the recorder of a device trace. A handle stays the same pointer
// from its open to its close.
class Observer {
  public:
    virtual ~Observer() = default;
    // `handle` null on failure, with the error text, an errno value and the
    // node refused for lack of permission ("" otherwise).
    virtual void opened(unsigned short vendorId, unsigned short productId, const hid_device* handle,
                        const std::wstring& error, int errorNumber,
                        const std::string& permissionNode) = 0;
    // The bytes as the caller gave them; `result` as returned.
    virtual void wrote(const hid_device* handle, const unsigned char* data, size_t length,
                       int result) = 0;
    // The bytes read (`result` of them when above 0), the buffer's size and the timeout asked.
    virtual void read(const hid_device* handle, const unsigned char* data, size_t length,
                      int milliseconds, int result) = 0;
    virtual void closed(const hid_device* handle) = 0;
    virtual void exited() = 0;
};

// Null to stop watching. Set before any device work and cleared after it.
void setObserver(Observer* observer);

// Registry of simulated devices, searched in registration order by hid_open.
// A device that is removed stays valid for handles that have it open, which
// then see errors once the device reports itself gone.
void addSimulatedDevice(std::shared_ptr<SimulatedHidDevice> device);
void removeSimulatedDevice(const SimulatedHidDevice* device);
void clearSimulatedDevices();

// Counters for tests: opens and exits seen by the simulated backend.
int simulatedOpenCount();
int exitCount();

// Permission problems: the hidraw node of the last failed hid_open when it
// failed for lack of permission; empty when it failed otherwise or when the
// last open succeeded.
std::string lastPermissionDeniedNode();

// True when the last failed hid_open found a device of that id on the bus
// whose node would not open (permission denied, busy, or not made yet): a
// node that appeared a moment ago may open once the system has set it up.
// False when no such device was there, and after a successful open.
bool lastOpenRefused();

}  // namespace hidport

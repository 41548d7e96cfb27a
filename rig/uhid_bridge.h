// Puts a bootloader into the kernel's HID stack through /dev/uhid, so that hidraw, libudev and the
// system's hidapi see a HID device like any other.
//
// uhid never holds up hid_write: a write returns as soon as the kernel has queued the report, and
// the kernel drops reports silently when its 32-entry queue is full. A real USB device paces the
// host instead. To behave like one, the bridge serves the device from a real-time thread on the
// same CPU as the program under test, so each output report is taken off the queue (and answered)
// before the program's write returns to it. The bridge also counts what it saw, so the caller can
// check that nothing went missing.
#ifndef ROMWRITE_RIG_UHID_BRIDGE_H
#define ROMWRITE_RIG_UHID_BRIDGE_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rig {

using Report = std::vector<uint8_t>;
// Takes one whole output report (report ID at offset 0) and returns the input reports to send back.
using ReportHandler = std::function<std::vector<Report>(const Report &)>;

struct DeviceIdentity {
    uint16_t vendor = 0x047A;
    uint16_t product = 0xF000;
    std::string name;     // shows up as the product string through hidraw
    std::string serial;   // shows up as the serial number string
};

struct BridgeCounters {
    unsigned output_reports = 0;   // output reports taken from the kernel
    unsigned block_reports = 0;    // of those, report ID 2 (flash blocks)
    unsigned input_reports = 0;    // input reports handed to the kernel
    unsigned input_errors = 0;     // input reports the kernel refused
    unsigned other_events = 0;     // get/set report requests and the like
};

class UhidBridge {
public:
    // handler runs on the bridge's thread only.
    UhidBridge(DeviceIdentity identity, ReportHandler handler);
    ~UhidBridge();   // unplugs and stops the thread

    UhidBridge(const UhidBridge &) = delete;
    UhidBridge &operator=(const UhidBridge &) = delete;

    // Opens /dev/uhid and starts the serving thread at real-time priority on CPU 0. False with
    // error() set when that fails.
    bool start();

    // Creates the device (plug) or destroys it (unplug). Both wait until the serving thread has
    // done it, at most timeout_ms.
    bool plug(int timeout_ms = 2000);
    bool unplug(int timeout_ms = 2000);

    // The device disappears by itself right after it has taken this many flash blocks, as a
    // device would if its cable came out halfway through programming. 0 turns this off.
    void vanish_after_blocks(unsigned count);

    bool plugged() const;
    BridgeCounters counters() const;
    const std::string &error() const { return error_; }

    // The uhid report descriptor: vendor page, output reports 1 and 2, input reports 1 and 2, each
    // of 4095 data bytes after the report ID.
    static const std::vector<uint8_t> &report_descriptor();

private:
    enum class Request { None, Plug, Unplug, Quit };

    void serve();
    bool create_device();
    void destroy_device();
    void handle_output(const uint8_t *data, size_t size);
    void set_error(const std::string &what);

    DeviceIdentity identity_;
    ReportHandler handler_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    Request request_ = Request::None;
    bool plugged_ = false;
    unsigned vanish_after_ = 0;
    BridgeCounters counters_;
    std::string error_;
};

}  // namespace rig

#endif

#include "uhid_bridge.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <memory>

namespace rig {

namespace {

constexpr int kServePriority = 50;

bool write_event(int fd, const uhid_event &ev) {
    ssize_t n;
    do {
        n = write(fd, &ev, sizeof ev);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof ev);
}

void copy_text(uint8_t *dst, size_t cap, const std::string &src) {
    size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    memcpy(dst, src.data(), n);
    dst[n] = 0;
}

}  // namespace

const std::vector<uint8_t> &UhidBridge::report_descriptor() {
    static const std::vector<uint8_t> rd = {
        0x06, 0x00, 0xFF,        // usage page: vendor defined
        0x09, 0x01,              // usage 1
        0xA1, 0x01,              // collection: application
        0x15, 0x00,              //   logical minimum 0
        0x26, 0xFF, 0x00,        //   logical maximum 255
        0x75, 0x08,              //   report size: 8 bits
        0x96, 0xFF, 0x0F,        //   report count: 4095
        0x85, 0x01, 0x09, 0x02, 0x91, 0x02,   // output report 1: command frames
        0x85, 0x02, 0x09, 0x03, 0x91, 0x02,   // output report 2: block frames
        0x85, 0x01, 0x09, 0x04, 0x81, 0x02,   // input report 1
        0x85, 0x02, 0x09, 0x05, 0x81, 0x02,   // input report 2
        0xC0,                    // end collection
    };
    return rd;
}

UhidBridge::UhidBridge(DeviceIdentity identity, ReportHandler handler)
    : identity_(std::move(identity)), handler_(std::move(handler)) {}

UhidBridge::~UhidBridge() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            request_ = Request::Quit;
        }
        char c = 'q';
        (void)!write(wake_[1], &c, 1);
        thread_.join();
    }
    if (fd_ >= 0) close(fd_);
    if (wake_[0] >= 0) close(wake_[0]);
    if (wake_[1] >= 0) close(wake_[1]);
}

void UhidBridge::set_error(const std::string &what) {
    std::lock_guard<std::mutex> lock(mu_);
    if (error_.empty()) error_ = what;
}

bool UhidBridge::start() {
    fd_ = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = std::string("cannot open /dev/uhid: ") + strerror(errno);
        return false;
    }
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("pipe: ") + strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { serve(); });

    // Same CPU as the program under test (which the caller pins to CPU 0 as well), and a real-time
    // class, so the scheduler switches to this thread the moment a report is queued for it.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    int rc = pthread_setaffinity_np(thread_.native_handle(), sizeof cpus, &cpus);
    if (rc != 0) {
        error_ = std::string("cannot pin the device thread: ") + strerror(rc);
        return false;
    }
    sched_param sp{};
    sp.sched_priority = kServePriority;
    rc = pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &sp);
    if (rc != 0) {
        error_ = std::string("cannot give the device thread real-time priority: ") + strerror(rc);
        return false;
    }
    return true;
}

bool UhidBridge::plug(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    request_ = Request::Plug;
    char c = 'p';
    (void)!write(wake_[1], &c, 1);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [this] { return request_ == Request::None; }) &&
           plugged_;
}

bool UhidBridge::unplug(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    request_ = Request::Unplug;
    char c = 'u';
    (void)!write(wake_[1], &c, 1);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [this] { return request_ == Request::None; }) &&
           !plugged_;
}

void UhidBridge::vanish_after_blocks(unsigned count) {
    std::lock_guard<std::mutex> lock(mu_);
    vanish_after_ = count;
}

bool UhidBridge::plugged() const {
    std::lock_guard<std::mutex> lock(mu_);
    return plugged_;
}

BridgeCounters UhidBridge::counters() const {
    std::lock_guard<std::mutex> lock(mu_);
    return counters_;
}

bool UhidBridge::create_device() {
    uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    copy_text(ev.u.create2.name, sizeof ev.u.create2.name, identity_.name);
    copy_text(ev.u.create2.phys, sizeof ev.u.create2.phys, "romwrite-rig/uhid");
    copy_text(ev.u.create2.uniq, sizeof ev.u.create2.uniq, identity_.serial);
    const std::vector<uint8_t> &rd = report_descriptor();
    ev.u.create2.rd_size = static_cast<uint16_t>(rd.size());
    ev.u.create2.bus = 0x03;   // BUS_USB: hidapi lists only USB and Bluetooth devices
    ev.u.create2.vendor = identity_.vendor;
    ev.u.create2.product = identity_.product;
    memcpy(ev.u.create2.rd_data, rd.data(), rd.size());
    if (!write_event(fd_, ev)) {
        set_error(std::string("UHID_CREATE2 failed: ") + strerror(errno));
        return false;
    }
    return true;
}

void UhidBridge::destroy_device() {
    uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    if (!write_event(fd_, ev)) set_error(std::string("UHID_DESTROY failed: ") + strerror(errno));
}

void UhidBridge::handle_output(const uint8_t *data, size_t size) {
    Report report(data, data + size);
    bool vanish = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++counters_.output_reports;
        if (size > 0 && data[0] == 2) {
            ++counters_.block_reports;
            vanish = vanish_after_ != 0 && counters_.block_reports >= vanish_after_ && plugged_;
        }
    }
    std::vector<Report> replies = handler_(report);
    if (vanish) {
        // Gone before the host can queue anything else: later writes must fail.
        destroy_device();
        std::lock_guard<std::mutex> lock(mu_);
        plugged_ = false;
        vanish_after_ = 0;
        return;
    }
    for (const Report &reply : replies) {
        uhid_event ev;
        memset(&ev, 0, sizeof ev);
        ev.type = UHID_INPUT2;
        // The descriptor declares every input report at its full length, and the kernel drops a
        // shorter one: pad with zeros.
        size_t n = reply.size() < UHID_DATA_MAX ? reply.size() : UHID_DATA_MAX;
        memcpy(ev.u.input2.data, reply.data(), n);
        ev.u.input2.size = UHID_DATA_MAX;
        bool ok = write_event(fd_, ev);
        std::lock_guard<std::mutex> lock(mu_);
        if (ok) {
            ++counters_.input_reports;
        } else {
            ++counters_.input_errors;
        }
    }
}

void UhidBridge::serve() {
    auto event = std::make_unique<uhid_event>();   // 4 KiB and more: kept off the thread's stack
    uhid_event &ev = *event;
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int rc = poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            set_error(std::string("poll: ") + strerror(errno));
            return;
        }
        if (fds[1].revents & POLLIN) {
            char buf[16];
            while (read(wake_[0], buf, sizeof buf) > 0) {
            }
            Request req;
            bool is_plugged;
            {
                std::lock_guard<std::mutex> lock(mu_);
                req = request_;
                is_plugged = plugged_;
            }
            if (req == Request::Quit) {
                if (is_plugged) destroy_device();
                return;
            }
            bool now_plugged = is_plugged;
            if (req == Request::Plug && !is_plugged) now_plugged = create_device();
            if (req == Request::Unplug && is_plugged) {
                destroy_device();
                now_plugged = false;
            }
            if (req != Request::None) {
                std::lock_guard<std::mutex> lock(mu_);
                plugged_ = now_plugged;
                request_ = Request::None;
                cv_.notify_all();
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(fd_, &ev, sizeof ev);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                set_error(std::string("read /dev/uhid: ") + strerror(errno));
                return;
            }
            switch (ev.type) {
            case UHID_OUTPUT:
                handle_output(ev.u.output.data, ev.u.output.size);
                break;
            case UHID_GET_REPORT: {
                // Nothing here is served by feature reports; answer at once so that nobody waits
                // for the kernel's timeout.
                uint32_t id = ev.u.get_report.id;
                memset(&ev, 0, sizeof ev);
                ev.type = UHID_GET_REPORT_REPLY;
                ev.u.get_report_reply.id = id;
                ev.u.get_report_reply.err = EIO;
                write_event(fd_, ev);
                std::lock_guard<std::mutex> lock(mu_);
                ++counters_.other_events;
                break;
            }
            case UHID_SET_REPORT: {
                uint32_t id = ev.u.set_report.id;
                memset(&ev, 0, sizeof ev);
                ev.type = UHID_SET_REPORT_REPLY;
                ev.u.set_report_reply.id = id;
                ev.u.set_report_reply.err = EIO;
                write_event(fd_, ev);
                std::lock_guard<std::mutex> lock(mu_);
                ++counters_.other_events;
                break;
            }
            default:
                break;   // start, stop, open, close: nothing to do
            }
        }
    }
}

}  // namespace rig

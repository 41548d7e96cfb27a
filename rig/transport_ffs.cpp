// The real-USB route: the bootloader as a USB HID device on the dummy host controller. A configfs
// gadget carries one FunctionFS function; this process plays the function: it answers the HID
// class requests on endpoint 0 and moves the reports over an interrupt IN and an interrupt OUT
// endpoint. The host side is the kernel's ordinary usbhid driver, so hidraw, libudev and hidapi
// meet the device exactly as they would meet hardware, USB string descriptors included.
//
// Unlike uhid, a USB output report is an interrupt transfer that completes only when the device
// takes it: the host is paced by the device and nothing can be dropped on the way.
#include <dirent.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "transport.h"

namespace rig {

namespace {

const char *const kGadget = "/sys/kernel/config/usb_gadget/romwrite-rig";
const char *const kFfsMount = "/dev/ffs-rig";
const char *const kManufacturer = "Rig Devices";

constexpr size_t kReport = 4096;

bool write_text(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = write(fd, text.data(), text.size());
    close(fd);
    return n == static_cast<ssize_t>(text.size());
}

std::string hex4(unsigned v) {
    char buf[8];
    snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

void put16(std::vector<uint8_t> &out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t> &out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// The HID class descriptor that follows the interface descriptor.
std::vector<uint8_t> hid_descriptor() {
    std::vector<uint8_t> d = {9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22};
    put16(d, static_cast<unsigned>(UhidBridge::report_descriptor().size()));
    return d;
}

// Interface, HID descriptor, interrupt IN (0x81) and OUT (0x02) endpoints, for one speed.
void speed_descriptors(std::vector<uint8_t> &out, unsigned max_packet) {
    const uint8_t interface[] = {9, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_HID, 0, 0, 1};
    out.insert(out.end(), interface, interface + sizeof interface);
    std::vector<uint8_t> hid = hid_descriptor();
    out.insert(out.end(), hid.begin(), hid.end());
    for (uint8_t address : {uint8_t(1 | USB_DIR_IN), uint8_t(2 | USB_DIR_OUT)}) {
        out.push_back(7);
        out.push_back(USB_DT_ENDPOINT);
        out.push_back(address);
        out.push_back(USB_ENDPOINT_XFER_INT);
        put16(out, max_packet);
        out.push_back(1);
    }
}

std::vector<uint8_t> ffs_descriptors() {
    std::vector<uint8_t> body;
    speed_descriptors(body, 64);     // full speed
    size_t fs_len = body.size();
    speed_descriptors(body, 1024);   // high speed
    (void)fs_len;
    std::vector<uint8_t> d;
    put32(d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put32(d, 0);   // length, filled in below
    put32(d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    put32(d, 4);   // full-speed descriptors
    put32(d, 4);   // high-speed descriptors
    d.insert(d.end(), body.begin(), body.end());
    uint32_t len = static_cast<uint32_t>(d.size());
    for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<uint8_t>(len >> (8 * i));
    return d;
}

std::vector<uint8_t> ffs_strings() {
    const char text[] = "Bootloader HID";
    std::vector<uint8_t> s;
    put32(s, FUNCTIONFS_STRINGS_MAGIC);
    put32(s, 0);
    put32(s, 1);   // strings
    put32(s, 1);   // languages
    put16(s, 0x0409);
    s.insert(s.end(), text, text + sizeof text);
    uint32_t len = static_cast<uint32_t>(s.size());
    for (int i = 0; i < 4; ++i) s[4 + i] = static_cast<uint8_t>(len >> (8 * i));
    return s;
}

void on_wake(int) {}

// The gadget and its function are set up once per guest; scenarios take turns plugging it in
// with their own bootloader behind it.
class Gadget {
public:
    static Gadget &instance() {
        static Gadget g;
        return g;
    }

    bool setup(const DeviceIdentity &id, std::string &error) {
        std::lock_guard<std::mutex> lock(mu_);
        if (ready_) return rewrite_identity(id, error);
        struct sigaction sa{};
        sa.sa_handler = on_wake;   // no SA_RESTART: a blocked endpoint read returns EINTR
        sigaction(SIGUSR1, &sa, nullptr);

        std::string g = kGadget;
        if (mkdir(g.c_str(), 0755) != 0 && errno != EEXIST) {
            error = std::string("cannot create the gadget in configfs: ") + strerror(errno);
            return false;
        }
        bool ok = write_text(g + "/bcdUSB", "0x0200") && write_text(g + "/bcdDevice", "0x0100") &&
                  mkdir((g + "/strings/0x409").c_str(), 0755) == 0 &&
                  mkdir((g + "/configs/c.1").c_str(), 0755) == 0 &&
                  mkdir((g + "/configs/c.1/strings/0x409").c_str(), 0755) == 0 &&
                  write_text(g + "/configs/c.1/strings/0x409/configuration", "bootloader") &&
                  write_text(g + "/configs/c.1/MaxPower", "100") &&
                  mkdir((g + "/functions/ffs.rig").c_str(), 0755) == 0 &&
                  symlink((g + "/functions/ffs.rig").c_str(), (g + "/configs/c.1/ffs.rig").c_str()) == 0;
        if (!ok) {
            error = std::string("cannot lay out the gadget: ") + strerror(errno);
            return false;
        }
        if (!rewrite_identity(id, error)) return false;
        mkdir(kFfsMount, 0755);
        if (mount("rig", kFfsMount, "functionfs", 0, nullptr) != 0) {
            error = std::string("cannot mount functionfs: ") + strerror(errno);
            return false;
        }
        ep0_ = open((std::string(kFfsMount) + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
        if (ep0_ < 0) {
            error = std::string("cannot open ep0: ") + strerror(errno);
            return false;
        }
        std::vector<uint8_t> d = ffs_descriptors();
        std::vector<uint8_t> s = ffs_strings();
        if (write(ep0_, d.data(), d.size()) != static_cast<ssize_t>(d.size())) {
            error = std::string("functionfs refused the descriptors: ") + strerror(errno);
            return false;
        }
        if (write(ep0_, s.data(), s.size()) != static_cast<ssize_t>(s.size())) {
            error = std::string("functionfs refused the strings: ") + strerror(errno);
            return false;
        }
        std::thread([this] { control(); }).detach();
        ready_ = true;
        return true;
    }

    void set_handler(ReportHandler handler, BridgeCounters *counters, std::mutex *counters_mu) {
        std::lock_guard<std::mutex> lock(mu_);
        handler_ = std::move(handler);
        counters_ = counters;
        counters_mu_ = counters_mu;
        error_.clear();
    }

    void vanish_after_blocks(unsigned count) {
        std::lock_guard<std::mutex> lock(mu_);
        vanish_after_ = count;
        blocks_ = 0;
    }

    // Binds the gadget to the dummy controller and waits until the host has configured it.
    bool plug(int timeout_ms, std::string &error) {
        {
            // A device that vanished by itself may still be winding down its endpoints.
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !data_running_; });
        }
        std::string udc = first_udc();
        if (udc.empty()) {
            error = "no USB device controller (dummy_hcd not loaded?)";
            return false;
        }
        if (!write_text(std::string(kGadget) + "/UDC", udc)) {
            error = std::string("cannot bind the gadget to ") + udc + ": " + strerror(errno);
            return false;
        }
        std::unique_lock<std::mutex> lock(mu_);
        plugged_ = true;
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return data_running_; })) {
            error = "the host did not configure the device";
            return false;
        }
        return true;
    }

    bool unplug(int timeout_ms, std::string &error) {
        unbind();
        // The controller cancels the endpoints' transfers; a read that was not yet queued is woken
        // by a signal instead.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        std::unique_lock<std::mutex> lock(mu_);
        while (data_running_) {
            if (std::chrono::steady_clock::now() >= until) {
                error = "the device side did not stop after the unplug";
                return false;
            }
            pthread_kill(data_thread_, SIGUSR1);
            cv_.wait_for(lock, std::chrono::milliseconds(50));
        }
        return true;
    }

    bool plugged() const {
        std::lock_guard<std::mutex> lock(mu_);
        return plugged_;
    }

    std::string error() const {
        std::lock_guard<std::mutex> lock(mu_);
        return error_;
    }

private:
    bool rewrite_identity(const DeviceIdentity &id, std::string &error) {
        std::string g = kGadget;
        if (!(write_text(g + "/idVendor", hex4(id.vendor)) && write_text(g + "/idProduct", hex4(id.product)) &&
              write_text(g + "/strings/0x409/manufacturer", kManufacturer) &&
              write_text(g + "/strings/0x409/product", id.name) &&
              write_text(g + "/strings/0x409/serialnumber", id.serial))) {
            error = std::string("cannot set the gadget's identity: ") + strerror(errno);
            return false;
        }
        return true;
    }

    static std::string first_udc() {
        std::string name;
        if (DIR *d = opendir("/sys/class/udc")) {
            while (dirent *e = readdir(d)) {
                if (e->d_name[0] != '.') {
                    name = e->d_name;
                    break;
                }
            }
            closedir(d);
        }
        return name;
    }

    void unbind() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!plugged_) return;
            plugged_ = false;
            cv_.notify_all();
        }
        if (!write_text(std::string(kGadget) + "/UDC", "\n") && errno != ENODEV) {
            set_error(std::string("cannot unbind the gadget: ") + strerror(errno));
        }
    }

    void set_error(const std::string &what) {
        std::lock_guard<std::mutex> lock(mu_);
        if (error_.empty()) error_ = what;
    }

    void count(void (*bump)(BridgeCounters &)) {
        std::lock_guard<std::mutex> lock(mu_);
        if (counters_) {
            std::lock_guard<std::mutex> clock(*counters_mu_);
            bump(*counters_);
        }
    }

    // Endpoint 0: the host's class requests during enumeration, and the function's life cycle.
    void control() {
        usb_functionfs_event events[8];
        static uint8_t buf[4096];
        for (;;) {
            pollfd p{ep0_, POLLIN, 0};
            if (poll(&p, 1, -1) < 0) {
                if (errno == EINTR) continue;
                set_error(std::string("ep0 poll: ") + strerror(errno));
                return;
            }
            ssize_t n = read(ep0_, events, sizeof events);
            if (n < 0) {
                if (errno == EINTR) continue;
                set_error(std::string("ep0 read: ") + strerror(errno));
                return;
            }
            for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
                const usb_functionfs_event &ev = events[i];
                switch (ev.type) {
                case FUNCTIONFS_ENABLE: start_data(); break;
                case FUNCTIONFS_SETUP: answer_setup(ev.u.setup, buf, sizeof buf); break;
                default: break;   // bind, unbind, disable, suspend, resume: the data side notices
                }
            }
        }
    }

    void answer_setup(const usb_ctrlrequest &req, uint8_t *buf, size_t cap) {
        unsigned length = le16toh(req.wLength);
        unsigned value = le16toh(req.wValue);
        bool in = req.bRequestType & USB_DIR_IN;
        std::vector<uint8_t> reply;
        bool known = false;
        if (req.bRequestType == (USB_DIR_IN | USB_RECIP_INTERFACE) && req.bRequest == USB_REQ_GET_DESCRIPTOR) {
            if ((value >> 8) == 0x22) {
                reply = UhidBridge::report_descriptor();
                known = true;
            } else if ((value >> 8) == 0x21) {
                reply = hid_descriptor();
                known = true;
            }
        } else if (req.bRequestType == (USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE) &&
                   req.bRequest == 0x0A /* SET_IDLE */) {
            known = true;
        }
        if (!known) {
            // Stall: move the status stage the wrong way.
            if (in) {
                (void)!read(ep0_, buf, 0);
            } else {
                (void)!write(ep0_, buf, 0);
            }
            return;
        }
        if (in) {
            size_t n = reply.size() < length ? reply.size() : length;
            (void)!write(ep0_, reply.data(), n);
        } else {
            (void)!read(ep0_, buf, length < cap ? length : cap);
        }
    }

    void start_data() {
        std::lock_guard<std::mutex> lock(mu_);
        if (data_running_) return;
        data_running_ = true;
        std::thread t([this] { data(); });
        data_thread_ = t.native_handle();
        t.detach();
        cv_.notify_all();
    }

    // The interrupt endpoints: one output report in, the model's replies out.
    void data() {
        std::string dir = kFfsMount;
        int in = open((dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
        int out = open((dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
        static uint8_t buf[kReport];
        if (in < 0 || out < 0) set_error(std::string("cannot open the endpoints: ") + strerror(errno));
        for (;;) {
            if (in < 0 || out < 0) break;
            ssize_t n = read(out, buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                std::lock_guard<std::mutex> lock(mu_);
                if (!plugged_) break;
                continue;
            }
            if (n <= 0) break;   // unplugged: the controller cancels the transfer
            Report report(buf, buf + n);
            ReportHandler handler;
            bool vanish = false;
            {
                std::lock_guard<std::mutex> lock(mu_);
                handler = handler_;
                if (n > 0 && buf[0] == 2 && vanish_after_ != 0 && ++blocks_ >= vanish_after_) {
                    vanish = true;
                    vanish_after_ = 0;
                }
            }
            count([](BridgeCounters &c) { ++c.output_reports; });
            if (buf[0] == 2) count([](BridgeCounters &c) { ++c.block_reports; });
            std::vector<Report> replies = handler ? handler(report) : std::vector<Report>();
            if (vanish) {
                unbind();
                break;
            }
            for (Report reply : replies) {
                reply.resize(kReport, 0);
                ssize_t w = write(in, reply.data(), reply.size());
                if (w == static_cast<ssize_t>(reply.size())) {
                    count([](BridgeCounters &c) { ++c.input_reports; });
                } else {
                    count([](BridgeCounters &c) { ++c.input_errors; });
                }
            }
        }
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        std::lock_guard<std::mutex> lock(mu_);
        data_running_ = false;
        cv_.notify_all();
    }

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool ready_ = false;
    bool plugged_ = false;
    bool data_running_ = false;
    pthread_t data_thread_{};
    int ep0_ = -1;
    ReportHandler handler_;
    BridgeCounters *counters_ = nullptr;
    std::mutex *counters_mu_ = nullptr;
    unsigned vanish_after_ = 0;
    unsigned blocks_ = 0;
    std::string error_;
};

std::string read_line(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The speed the host enumerated our device at, in Mbit/s as sysfs writes it ("12", "480").
std::string host_side_speed(const DeviceIdentity &id) {
    std::string found;
    if (DIR *d = opendir("/sys/bus/usb/devices")) {
        while (dirent *e = readdir(d)) {
            std::string dev = std::string("/sys/bus/usb/devices/") + e->d_name;
            if (read_line(dev + "/idVendor") == hex4(id.vendor).substr(2) &&
                read_line(dev + "/idProduct") == hex4(id.product).substr(2)) {
                found = read_line(dev + "/speed");
                break;
            }
        }
        closedir(d);
    }
    return found;
}

class FfsTransport : public Transport {
public:
    FfsTransport(const DeviceIdentity &identity, ReportHandler handler, bool high_speed)
        : identity_(identity), handler_(std::move(handler)), speed_(high_speed ? "480" : "12") {}

    ~FfsTransport() override {
        if (started_) {
            std::string ignored;
            Gadget::instance().unplug(5000, ignored);
            Gadget::instance().set_handler(nullptr, nullptr, nullptr);
        }
    }

    bool start() override {
        if (!Gadget::instance().setup(identity_, error_)) return false;
        Gadget::instance().set_handler(handler_, &counters_, &counters_mu_);
        started_ = true;
        return true;
    }
    bool plug() override {
        if (!Gadget::instance().plug(20000, error_)) return false;
        // The route is only what it claims if the host really runs the link at that speed.
        std::string speed = host_side_speed(identity_);
        if (speed != speed_) {
            error_ = "the host sees the device at speed \"" + speed + "\", expected " + speed_;
            return false;
        }
        return true;
    }
    bool unplug() override { return Gadget::instance().unplug(5000, error_); }
    bool plugged() const override { return Gadget::instance().plugged(); }
    void vanish_after_blocks(unsigned count) override { Gadget::instance().vanish_after_blocks(count); }
    BridgeCounters counters() const override {
        std::lock_guard<std::mutex> lock(counters_mu_);
        return counters_;
    }
    std::string error() const override {
        std::string g = Gadget::instance().error();
        return error_.empty() ? g : error_;
    }

    std::string expected_manufacturer() const override { return kManufacturer; }
    std::string expected_product() const override { return identity_.name; }
    std::string expected_serial() const override { return identity_.serial; }

private:
    DeviceIdentity identity_;
    ReportHandler handler_;
    std::string speed_;
    bool started_ = false;
    mutable std::mutex counters_mu_;
    BridgeCounters counters_;
    std::string error_;
};

}  // namespace

std::unique_ptr<Transport> make_usb_transport(const DeviceIdentity &identity, ReportHandler handler,
                                              bool high_speed) {
    return std::make_unique<FfsTransport>(identity, std::move(handler), high_speed);
}

}  // namespace rig

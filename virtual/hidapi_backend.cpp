// The virtual hidapi backend: hidapi's functions played by bootloader models that a scenario plugs
// in and out. Single-threaded like the program; time-based triggers are looked at on every call.
#include <hidapi.h>

#include "vdev.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace vdev {
struct Device;
}

struct hid_device_ {
    vdev::Device *dev = nullptr;
    unsigned instance = 0;
    bool nonblocking = false;
    std::wstring error;
};

namespace vdev {

namespace {
using Clock = std::chrono::steady_clock;

struct Pending {
    Bytes report;
    unsigned polls = 0;
};
}  // namespace

struct Device {
    int number = 0;
    DevicePlan plan;
    std::unique_ptr<BootloaderModel> model;
    bool from_scenario = false;
    bool attached = false;
    unsigned instance = 0;
    std::deque<Pending> queue;
    CallCounts counts;
    Clock::time_point plugged_at;
    Counters base;  // the model's counters when it was plugged in
    unsigned denied = 0;
    unsigned dumped_blocks = UINT_MAX;
    std::string path;
    std::wstring serial;
};

namespace {

struct Waiting {
    size_t entry = 0;
    unsigned opens_base = 0;
    Clock::time_point since;
};

struct World {
    bool configured = false;
    Scenario scenario;
    bool has_scenario = false;
    size_t next_entry = 0;
    std::vector<Waiting> waiting;
    std::vector<std::unique_ptr<Device>> devices;  // devices[n - 1] is device n
    std::vector<Device *> attach_order;
    int last_scenario_device = 0;
    unsigned open_calls = 0;
    Clock::time_point start = Clock::now();
    FILE *log = nullptr;
    std::string flash_dir;
    std::vector<std::string> lines;
    std::wstring error;
    std::set<hid_device *> handles;

    ~World();
};

World &world()
{
    static World w;
    return w;
}

long long elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Writes one log line: the event word, then "dev=N" when a device is named, the rest, and the
// time since start in ms.
void log_event(int dev, const std::string &body)
{
    World &w = world();
    size_t sp = body.find(' ');
    std::string event = body.substr(0, sp);
    std::string rest = sp == std::string::npos ? "" : body.substr(sp);
    std::string line = event;
    if (dev > 0)
        line += " dev=" + std::to_string(dev);
    line += rest + " t=" + std::to_string(elapsed_ms(w.start));
    if (w.lines.size() >= 100000)
        w.lines.erase(w.lines.begin(), w.lines.begin() + 10000);
    w.lines.push_back(line);
    if (w.log) {
        std::fprintf(w.log, "%s\n", line.c_str());
        std::fflush(w.log);
    }
}

std::string narrow(const std::wstring &s)
{
    std::string out;
    for (wchar_t c : s)
        out += (c > 0x20 && c < 0x7F) ? (char)c : '?';
    return out;
}

// The flash file holds the bytes up to the programmed extent; written whole under a temporary
// name and renamed so that a reader never sees half a file.
void dump_flash(Device &d)
{
    World &w = world();
    if (w.flash_dir.empty())
        return;
    d.dumped_blocks = d.model->counters().blocks;
    std::string path = w.flash_dir + "/dev" + std::to_string(d.number) + ".bin";
    std::string tmp = path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        return;
    size_t extent = d.model->programmed_extent();
    std::fwrite(d.model->flash().data(), 1, extent, f);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
}

World::~World()
{
    for (Device *d : attach_order)
        dump_flash(*d);
    if (log)
        std::fclose(log);
}

bool fires(const Trigger &when, unsigned &seen, unsigned &fired)
{
    seen++;
    bool fire = when.at > 0 ? seen == when.at : when.from > 0 ? seen >= when.from : true;
    if (fire)
        fired++;
    return fire;
}

void attach(Device &d)
{
    World &w = world();
    d.attached = true;
    d.instance++;
    d.queue.clear();
    d.counts = CallCounts();
    d.plugged_at = Clock::now();
    d.base = d.model->counters();
    d.denied = 0;
    for (TransportFault &t : d.plan.transport_faults)
        t.seen = t.fired = 0;
    w.attach_order.push_back(&d);
    log_event(d.number, "plug vid=" + hex4(d.plan.vendor_id) + " pid=" + hex4(d.plan.product_id) +
                            " serial=" + narrow(d.serial) + " path=" + d.path +
                            " bootloader=" + hex4(d.model->bootloader_version()) +
                            " firmware=" + hex4(d.model->firmware_version()));
    dump_flash(d);
}

void detach(Device &d, const std::string &reason)
{
    World &w = world();
    if (!d.attached)
        return;
    d.attached = false;
    d.queue.clear();
    w.attach_order.erase(std::remove(w.attach_order.begin(), w.attach_order.end(), &d),
                         w.attach_order.end());
    log_event(d.number, "unplug reason=" + reason);
    dump_flash(d);
}

Device &new_device(const DevicePlan &plan, bool from_scenario)
{
    World &w = world();
    auto d = std::make_unique<Device>();
    d->number = (int)w.devices.size() + 1;
    d->plan = plan;
    d->from_scenario = from_scenario;
    d->model = std::make_unique<BootloaderModel>(plan.config);
    int number = d->number;
    d->model->set_event_sink([number](const std::string &line) { log_event(number, line); });
    for (const ReplyFault &f : plan.reply_faults)
        d->model->add_fault(f);
    d->path = "/dev/hidraw" + std::to_string(number - 1);
    if (plan.serial.empty()) {
        wchar_t buf[16];
        std::swprintf(buf, 16, L"A%05d", 16 + number);
        d->serial = buf;
    } else {
        d->serial = plan.serial;
    }
    w.devices.push_back(std::move(d));
    return *w.devices.back();
}

// Plugs in the device of a scenario entry whose arrival has come.
void plug_entry(size_t entry)
{
    World &w = world();
    const DevicePlan &plan = w.scenario.devices[entry];
    Device *d = nullptr;
    if (plan.again && w.last_scenario_device > 0) {
        d = w.devices[(size_t)w.last_scenario_device - 1].get();
        if (d->attached)
            detach(*d, "again");
        // The same board comes back: its flash and bootloader stay, the rest is the entry's.
        d->plan = plan;
        if (!plan.serial.empty())
            d->serial = plan.serial;
        d->model->power_cycle();
        d->model->clear_faults();
        for (const ReplyFault &f : plan.reply_faults)
            d->model->add_fault(f);
    } else {
        d = &new_device(plan, true);
    }
    w.last_scenario_device = d->number;
    attach(*d);
}

bool scenario_busy()
{
    World &w = world();
    if (!w.waiting.empty())
        return true;
    for (Device *d : w.attach_order)
        if (d->from_scenario)
            return true;
    return false;
}

// Lets the next entries take their turn: one when nothing of the scenario is attached or
// waiting, and with it every following entry marked `together`.
void advance()
{
    World &w = world();
    if (!w.has_scenario || w.scenario.devices.empty())
        return;
    bool just_queued = false;
    for (;;) {
        if (w.next_entry >= w.scenario.devices.size()) {
            if (!w.scenario.loop)
                return;
            w.next_entry = 0;
        }
        const DevicePlan &s = w.scenario.devices[w.next_entry];
        bool together = just_queued && s.together && w.next_entry > 0;
        if (!together && scenario_busy())
            return;
        Waiting wt;
        wt.entry = w.next_entry;
        wt.opens_base = w.open_calls;
        wt.since = Clock::now();
        w.waiting.push_back(wt);
        w.next_entry++;
        just_queued = true;
    }
}

// Evaluates every trigger that depends on counts of opens or on time.
void tick()
{
    World &w = world();
    for (int round = 0; round < 100; round++) {
        bool changed = false;
        for (size_t i = 0; i < w.waiting.size();) {
            const Waiting &wt = w.waiting[i];
            const DevicePlan &s = w.scenario.devices[wt.entry];
            if (w.open_calls - wt.opens_base >= s.arrive_opens && elapsed_ms(wt.since) >= s.arrive_ms) {
                size_t entry = wt.entry;
                w.waiting.erase(w.waiting.begin() + (std::ptrdiff_t)i);
                plug_entry(entry);
                changed = true;
            } else {
                i++;
            }
        }
        std::vector<Device *> attached = w.attach_order;
        for (Device *d : attached) {
            if (d->plan.unplug_ms > 0 && elapsed_ms(d->plugged_at) >= d->plan.unplug_ms) {
                detach(*d, "time");
                changed = true;
            }
        }
        size_t before = w.waiting.size();
        advance();
        if (w.waiting.size() != before)
            changed = true;
        if (!changed)
            return;
    }
}

void read_environment()
{
    World &w = world();
    if (const char *path = std::getenv("ROMWRITE_VDEV_LOG")) {
        if (*path) {
            w.log = std::fopen(path, "a");
            if (!w.log) {
                std::fprintf(stderr, "virtual device: cannot open log file %s\n", path);
                std::exit(2);
            }
        }
    }
    if (const char *dir = std::getenv("ROMWRITE_VDEV_FLASH_DIR"))
        w.flash_dir = dir;

    std::string text = kProductionLineScenario;
    std::string name = "built-in";
    if (const char *path = std::getenv("ROMWRITE_VDEV_SCENARIO")) {
        if (*path) {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "virtual device: cannot read scenario file %s\n", path);
                std::exit(2);
            }
            std::stringstream buf;
            buf << in.rdbuf();
            text = buf.str();
            name = path;
        }
    }
    Scenario sc;
    std::string error;
    if (!parse_scenario(text, sc, error)) {
        std::fprintf(stderr, "virtual device: scenario %s: %s\n", name.c_str(), error.c_str());
        std::exit(2);
    }
    log_event(0, "scenario name=" + name + " devices=" + std::to_string(sc.devices.size()) +
                     " loop=" + (sc.loop ? "yes" : "no"));
    w.scenario = std::move(sc);
    w.has_scenario = true;
    w.configured = true;
    advance();
    tick();
}

void ensure_init()
{
    if (!world().configured)
        read_environment();
}

Device *device_of(int number)
{
    World &w = world();
    if (number < 1 || (size_t)number > w.devices.size())
        return nullptr;
    return w.devices[(size_t)number - 1].get();
}

// The device behind a handle while that plug-in lasts; null once it is gone.
Device *live(hid_device *h)
{
    if (!h || !h->dev || !h->dev->attached || h->dev->instance != h->instance)
        return nullptr;
    return h->dev;
}

void set_error(hid_device *h, const std::wstring &msg)
{
    world().error = msg;
    if (h)
        h->error = msg;
}

// The device behind a handle for a transfer (`call` is "write" or "read"). Once the device is gone
// the transfer fails as hidraw's does, and the attempt is logged.
Device *live_for_transfer(hid_device *h, const char *call)
{
    ensure_init();
    tick();
    Device *d = live(h);
    if (!d) {
        set_error(h, L"Device disconnected");
        if (h && h->dev)
            log_event(h->dev->number, std::string("gone call=") + call);
    }
    return d;
}

Device *find_attached(unsigned short vid, unsigned short pid, const wchar_t *serial)
{
    for (Device *d : world().attach_order) {
        if (vid != 0 && d->plan.vendor_id != vid)
            continue;
        if (pid != 0 && d->plan.product_id != pid)
            continue;
        if (serial && d->serial != serial)
            continue;
        return d;
    }
    return nullptr;
}

hid_device *open_device(Device *d)
{
    World &w = world();
    if (d->plan.open_denied || d->denied < d->plan.deny_opens) {
        d->denied++;
        set_error(nullptr, L"Failed to open a device with path '" +
                               std::wstring(d->path.begin(), d->path.end()) +
                               L"': Permission denied");
        log_event(d->number, "open result=denied path=" + d->path);
        return nullptr;
    }
    hid_device *h = new hid_device_;
    h->dev = d;
    h->instance = d->instance;
    w.handles.insert(h);
    d->counts.opens++;
    set_error(nullptr, L"Success");
    log_event(d->number, "open result=ok path=" + d->path);
    return h;
}

int get_string(hid_device *h, bool fail, const std::wstring &value, wchar_t *out, size_t maxlen,
               const char *what)
{
    ensure_init();
    tick();
    Device *d = live(h);
    if (!d) {
        set_error(h, L"Device disconnected");
        return -1;
    }
    if (fail) {
        set_error(h, L"String not available");
        log_event(d->number, std::string("fault kind=string-fail string=") + what);
        return -1;
    }
    if (!out || maxlen == 0)
        return -1;
    size_t n = std::min(value.size(), maxlen - 1);
    std::wmemcpy(out, value.data(), n);
    out[n] = 0;
    return 0;
}

}  // namespace

// --- Control API ---

void reset()
{
    World &w = world();
    for (hid_device *h : w.handles)
        h->dev = nullptr;
    w.configured = true;
    w.scenario = Scenario();
    w.has_scenario = false;
    w.next_entry = 0;
    w.waiting.clear();
    w.attach_order.clear();
    w.devices.clear();
    w.last_scenario_device = 0;
    w.open_calls = 0;
    w.lines.clear();
    w.error.clear();
}

void load_scenario(const Scenario &scenario)
{
    reset();
    World &w = world();
    w.scenario = scenario;
    w.has_scenario = true;
    advance();
    tick();
}

bool load_scenario_text(const std::string &text, std::string *error)
{
    Scenario sc;
    std::string err;
    if (!parse_scenario(text, sc, err)) {
        if (error)
            *error = err;
        return false;
    }
    load_scenario(sc);
    return true;
}

int plug(const DevicePlan &plan)
{
    world().configured = true;
    Device &d = new_device(plan, false);
    attach(d);
    return d.number;
}

void unplug(int device)
{
    if (Device *d = device_of(device)) {
        detach(*d, "control");
        advance();
        tick();
    }
}

bool attached(int device)
{
    Device *d = device_of(device);
    return d && d->attached;
}

std::vector<int> devices()
{
    std::vector<int> out;
    for (const auto &d : world().devices)
        out.push_back(d->number);
    return out;
}

BootloaderModel *model(int device)
{
    Device *d = device_of(device);
    return d ? d->model.get() : nullptr;
}

void add_reply_fault(int device, const ReplyFault &fault)
{
    if (Device *d = device_of(device))
        d->model->add_fault(fault);
}

void add_transport_fault(int device, const TransportFault &fault)
{
    if (Device *d = device_of(device)) {
        d->plan.transport_faults.push_back(fault);
        d->plan.transport_faults.back().seen = d->plan.transport_faults.back().fired = 0;
    }
}

void inject_input(int device, const Bytes &report, unsigned empty_polls)
{
    if (Device *d = device_of(device))
        d->queue.push_back(Pending{report, empty_polls});
}

size_t pending_input(int device)
{
    Device *d = device_of(device);
    return d ? d->queue.size() : 0;
}

CallCounts calls(int device)
{
    Device *d = device_of(device);
    return d ? d->counts : CallCounts();
}

unsigned open_calls() { return world().open_calls; }

const std::vector<std::string> &log_lines() { return world().lines; }

}  // namespace vdev

// --- hidapi ---

using vdev::Device;

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    vdev::ensure_init();
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    if (!vdev::world().configured)
        return 0;
    for (Device *d : vdev::world().attach_order)
        vdev::dump_flash(*d);
    vdev::log_event(0, "exit");
    return 0;
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id)
{
    vdev::ensure_init();
    vdev::tick();
    struct hid_device_info *head = nullptr, **tail = &head;
    for (Device *d : vdev::world().attach_order) {
        if (vendor_id != 0 && d->plan.vendor_id != vendor_id)
            continue;
        if (product_id != 0 && d->plan.product_id != product_id)
            continue;
        auto *info = static_cast<struct hid_device_info *>(std::calloc(1, sizeof(struct hid_device_info)));
        if (!info)
            break;
        info->path = strdup(d->path.c_str());
        info->vendor_id = d->plan.vendor_id;
        info->product_id = d->plan.product_id;
        info->serial_number = wcsdup(d->serial.c_str());
        info->release_number = 0x0100;
        info->manufacturer_string = wcsdup(d->plan.manufacturer.c_str());
        info->product_string = wcsdup(d->plan.product.c_str());
        info->usage_page = 0xFF00;
        info->usage = 0x01;
        info->interface_number = 0;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs) {
        struct hid_device_info *next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                 const wchar_t *serial_number)
{
    vdev::ensure_init();
    vdev::tick();
    vdev::World &w = vdev::world();
    Device *d = vdev::find_attached(vendor_id, product_id, serial_number);
    w.open_calls++;
    if (!d) {
        vdev::set_error(nullptr, L"No HID devices with requested VID/PID found in the system.");
        return nullptr;
    }
    return vdev::open_device(d);
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path)
{
    vdev::ensure_init();
    vdev::tick();
    vdev::World &w = vdev::world();
    w.open_calls++;
    for (Device *d : w.attach_order)
        if (path && d->path == path)
            return vdev::open_device(d);
    vdev::set_error(nullptr, L"Failed to open a device: No such file or directory");
    return nullptr;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    Device *d = vdev::live_for_transfer(dev, "write");
    if (!d)
        return -1;
    d->counts.writes++;
    for (vdev::TransportFault &t : d->plan.transport_faults) {
        bool counts = false;
        switch (t.kind) {
        case vdev::TransportKind::WriteFail:
            counts = t.when.reg < 0 || (length > 4 && data[4] == t.when.reg);
            break;
        case vdev::TransportKind::BlockFail:
            counts = length > 0 && data[0] == 2;
            break;
        case vdev::TransportKind::ReadFail:
            break;
        }
        if (counts && vdev::fires(t.when, t.seen, t.fired)) {
            const char *kind = t.kind == vdev::TransportKind::BlockFail ? "block-fail" : "write-fail";
            vdev::log_event(d->number, std::string("fault kind=") + kind +
                                           " count=" + std::to_string(t.seen));
            vdev::set_error(dev, L"Broken pipe");
            return -1;
        }
    }
    unsigned probes_before = d->model->counters().probes;
    std::vector<vdev::Bytes> replies = d->model->receive(data, length);
    for (size_t i = 0; i < replies.size(); i++)
        d->queue.push_back(vdev::Pending{std::move(replies[i]), i == 0 ? d->model->config().empty_polls : 0});

    const vdev::Counters &now = d->model->counters();
    if (now.probes != probes_before && now.blocks != d->dumped_blocks)
        vdev::dump_flash(*d);
    const vdev::DevicePlan &s = d->plan;
    if (s.unplug_probes > 0 && now.probes - d->base.probes >= s.unplug_probes)
        vdev::detach(*d, "probes");
    else if (s.unplug_blocks > 0 && now.blocks - d->base.blocks >= s.unplug_blocks)
        vdev::detach(*d, "blocks");
    else if (s.unplug_writes > 0 && now.frames - d->base.frames >= s.unplug_writes)
        vdev::detach(*d, "writes");
    return (int)length;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data, size_t length,
                                                 int milliseconds)
{
    Device *d = vdev::live_for_transfer(dev, "read");
    if (!d)
        return -1;
    d->counts.reads++;
    for (vdev::TransportFault &t : d->plan.transport_faults) {
        if (t.kind == vdev::TransportKind::ReadFail && vdev::fires(t.when, t.seen, t.fired)) {
            vdev::log_event(d->number, "fault kind=read-fail count=" + std::to_string(t.seen));
            vdev::set_error(dev, L"Input/output error");
            return -1;
        }
    }
    if (d->queue.empty())
        return 0;
    vdev::Pending &front = d->queue.front();
    // A waiting read (blocking handle or a timeout) sits out the empty polls; a non-blocking one
    // sees them.
    if (front.polls > 0 && milliseconds == 0) {
        front.polls--;
        return 0;
    }
    size_t n = std::min(length, front.report.size());
    if (n > 0)
        std::memcpy(data, front.report.data(), n);
    std::string reg = front.report.size() > 4 ? vdev::hex2(front.report[4]) : "-";
    vdev::log_event(d->number, "input size=" + std::to_string(front.report.size()) + " reg=" + reg);
    d->queue.pop_front();
    return (int)n;
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    return hid_read_timeout(dev, data, length, dev && dev->nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock)
{
    vdev::ensure_init();
    vdev::tick();
    if (!vdev::live(dev))
        return -1;
    dev->nonblocking = nonblock != 0;
    return 0;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev)
{
    if (!dev)
        return;
    vdev::World &w = vdev::world();
    if (Device *d = vdev::live(dev)) {
        d->counts.closes++;
        // Reports nobody read are lost with the handle, as with a closed hidraw node.
        d->queue.clear();
        vdev::log_event(d->number, "close");
        vdev::dump_flash(*d);
    }
    w.handles.erase(dev);
    delete dev;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    Device *d = vdev::live(dev);
    return vdev::get_string(dev, d && d->plan.fail_manufacturer, d ? d->plan.manufacturer : L"",
                            string, maxlen, "manufacturer");
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    Device *d = vdev::live(dev);
    return vdev::get_string(dev, d && d->plan.fail_product, d ? d->plan.product : L"", string,
                            maxlen, "product");
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    Device *d = vdev::live(dev);
    return vdev::get_string(dev, d && d->plan.fail_serial, d ? d->serial : L"", string, maxlen,
                            "serial");
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev)
{
    if (dev)
        return dev->error.empty() ? L"Success" : dev->error.c_str();
    vdev::World &w = vdev::world();
    return w.error.empty() ? L"Success" : w.error.c_str();
}

}  // extern "C"

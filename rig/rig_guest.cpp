// Runs inside the QEMU guest: attaches a bootloader to the kernel's HID stack, runs the production
// romwrite against it under a pseudo-terminal, types keys, reads the screen, and checks what the
// device's flash holds afterwards. Prints one line per scenario on standard output:
//   RIG PASS <route>/<scenario>
//   RIG FAIL <route>/<scenario>: <why>
//
// Usage: rig-guest --route uhid|usb|usb-fs --romwrite PATH [--work DIR] SCENARIO...
#include <sched.h>
#include <sys/klog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "model_adapter.h"
#include "pty_session.h"
#include "transport.h"

namespace rig {
namespace {

// Under software emulation everything is slower than on a bench; these bound each wait generously.
constexpr int kShortWait = 10000;
constexpr int kProgrammingWait = 60000;

const char *const kBanner = "Velorin Flash Programming Utility Version 1.0\n\n"
                            "Please insert the USB cable now or press any key to exit\n";
const char *const kDisconnect = "Please disconnect the device.\n";
const char *const kCrcOk = "|              CRC OK             |\n";
const char *const kProgrammed = "  FLASH Programmed.\nPlease cycle power to the device.\n";
const char *const kProgrammingError =
    "  FLASH Programming error.\nPlease detach the device and run the programming utility again.\n";

struct Options {
    std::string route;
    std::string romwrite;
    std::string work = "/tmp";
    std::vector<std::string> scenarios;
};

std::string version_text(uint16_t v) {
    return std::to_string(v >> 8) + "." + std::to_string(v & 0xFF);
}

// Counts the kernel's complaints about output reports it dropped because nobody took them in
// time. Any increase during a scenario fails it, even if the flash happened to come out right.
unsigned dropped_report_warnings() {
    int size = klogctl(10 /* SYSLOG_ACTION_SIZE_BUFFER */, nullptr, 0);
    if (size <= 0) return 0;
    std::string buf(static_cast<size_t>(size), '\0');
    int n = klogctl(3 /* SYSLOG_ACTION_READ_ALL */, &buf[0], size);
    if (n <= 0) return 0;
    buf.resize(static_cast<size_t>(n));
    unsigned count = 0;
    for (size_t at = buf.find("Output queue is full"); at != std::string::npos;
         at = buf.find("Output queue is full", at + 1)) {
        ++count;
    }
    return count;
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

size_t count_char(const std::string &s, char c) {
    size_t n = 0;
    for (char x : s) n += x == c;
    return n;
}

// One scenario's state: the device, its transport, romwrite's session, and the first failure.
class Run {
public:
    Run(const Options &opt, const std::string &name)
        : opt_(opt), name_(name), warnings_before_(dropped_report_warnings()) {}

    void fail(const std::string &why) {
        if (why_.empty()) why_ = why;
    }
    bool ok() const { return why_.empty(); }

    bool attach(const Firmware *installed) {
        model_ = std::make_unique<Bootloader>(installed);
        identity_.name = "Rig Bootloader";
        identity_.serial = "A17-" + name_;
        Bootloader *model = model_.get();
        ReportHandler handler = [model](const Report &r) { return model->receive(r); };
        if (opt_.route == "uhid") {
            transport_ = make_uhid_transport(identity_, handler);
        } else if (opt_.route == "usb" || opt_.route == "usb-fs") {
            transport_ = make_usb_transport(identity_, handler, opt_.route == "usb");
        } else {
            fail("unknown route " + opt_.route);
            return false;
        }
        if (!transport_->start()) {
            fail("device side did not start: " + transport_->error());
            return false;
        }
        return true;
    }

    bool plug() {
        if (!transport_->plug()) {
            fail("could not plug the device in: " + transport_->error());
            return false;
        }
        return true;
    }

    bool unplug() {
        if (!transport_->unplug()) {
            fail("could not unplug the device: " + transport_->error());
            return false;
        }
        model_->power_cycle();
        return true;
    }

    void vanish_after_blocks(unsigned count) { transport_->vanish_after_blocks(count); }
    // Only while unplugged: the model is the transport's while the device is attached.
    void ignore_reads_of(uint8_t reg) { model_->ignore_reads_of(reg); }

    // The device took itself off the bus; it comes back later as if freshly powered.
    void power_cycle_after_vanish() {
        if (transport_->plugged()) {
            fail("the device was still attached after it should have vanished");
            return;
        }
        model_->power_cycle();
    }

    bool launch(const std::vector<std::string> &args) {
        e2e::SessionOptions so;
        so.program = opt_.romwrite;
        so.args = args;
        so.cwd = opt_.work;
        session_ = std::make_unique<e2e::PtySession>(so);
        if (!session_->start()) {
            fail("romwrite did not start: " + session_->failure());
            return false;
        }
        return true;
    }

    bool expect(const std::string &text, int timeout_ms = kShortWait) {
        if (!ok()) return false;
        if (!session_->expect(text, timeout_ms)) {
            fail(session_->failure());
            return false;
        }
        return true;
    }

    // The identification screen, as this route's strings should make it.
    bool expect_identity() {
        std::string serial = transport_->expected_serial();
        int first = serial.empty() ? 0 : static_cast<unsigned char>(serial[0]);
        return expect("\nVelorin device detected.\n") &&
               expect("Manufacturer String:    " + transport_->expected_manufacturer() + "\n") &&
               expect("Product String:         " + transport_->expected_product() + "\n") &&
               expect("Serial Number String:   (" + std::to_string(first) + ") " + serial + "\n") &&
               expect("\nBootloader version:     " + version_text(model_->bootloader_version()) + "\n");
    }

    // The screen is cleared and the next pass's banner comes, as after an unplug or a failed pass.
    bool expect_next_pass() {
        if (!expect(kBanner)) return false;
        std::vector<std::string> shots = e2e::screens(session_->raw());
        if (shots.empty() || shots.back().rfind("Velorin Flash Programming Utility", 0) != 0) {
            fail("the next pass did not start on a cleared screen");
            return false;
        }
        return true;
    }

    // Programming from "Programming FLASH" to its end message; checks one dot per chunk.
    bool expect_programming(const std::string &end_message, size_t dots) {
        if (!expect("\nUnlocking FLASH...  FLASH unlocked\nProgramming FLASH")) return false;
        if (!expect(end_message, kProgrammingWait)) return false;
        std::string plain = session_->plain();
        size_t end = plain.rfind(end_message);
        size_t start = plain.rfind("Programming FLASH", end);
        std::string between = plain.substr(start + 17, end - start - 17);
        if (between != std::string(dots, '.')) {
            fail("expected " + std::to_string(dots) + " progress dots, got " +
                 std::to_string(count_char(between, '.')) + " in \"" + between.substr(0, 40) + "\"");
            return false;
        }
        return true;
    }

    // No new pass may start while the device stays attached after a good pass.
    bool expect_waiting_for_unplug() {
        if (!ok()) return false;
        session_->settle(600);
        if (session_->pending().find("Velorin Flash") != std::string::npos) {
            fail("a new pass started although the device was still attached");
            return false;
        }
        return true;
    }

    bool quit_with_key() {
        if (!ok()) return false;
        session_->send("q");
        if (!session_->wait_exit(kShortWait)) {
            fail("romwrite did not end after a key: " + session_->failure());
            return false;
        }
        if (!session_->exited() || session_->exit_code() != 0) {
            fail("romwrite ended with " + session_->status_text());
            return false;
        }
        return true;
    }

    void check_flash(const Firmware &fw) {
        if (!ok()) return;
        if (transport_->plugged()) unplug();
        if (model_->flash(fw.payload.size()) != fw.payload) fail("the flash does not hold the payload");
    }

    void check_blocks(unsigned expected) {
        if (!ok()) return;
        unsigned got = transport_->counters().block_reports;
        if (got != expected) {
            fail("the device took " + std::to_string(got) + " flash blocks, expected " +
                 std::to_string(expected));
        }
    }

    // Called at the end of every scenario, pass or fail.
    int report() {
        // Lost reports explain most other symptoms (wrong CRC, extra dots), so they lead.
        unsigned drops = dropped_report_warnings() - warnings_before_;
        if (drops != 0) {
            std::string first = why_;
            why_ = "the kernel dropped output reports (" + std::to_string(drops) +
                   " \"Output queue is full\" warnings)";
            if (!first.empty()) why_ += "; then: " + first;
        }
        if (transport_) {
            BridgeCounters c = transport_->counters();
            if (c.input_errors != 0) fail(std::to_string(c.input_errors) + " replies were refused by the kernel");
            if (!transport_->error().empty()) fail(transport_->error());
        }
        if (model_ && model_->malformed_frames() != 0) {
            fail(std::to_string(model_->malformed_frames()) + " frames the device found malformed (damaged on the way, or built wrong)");
        }
        if (ok()) {
            std::printf("RIG PASS %s/%s\n", opt_.route.c_str(), name_.c_str());
        } else {
            // One line; the screen follows below.
            std::string why = why_.substr(0, 400);
            for (char &c : why) {
                if (c == '\n' || c == '\r') c = ' ';
            }
            std::printf("RIG FAIL %s/%s: %s\n", opt_.route.c_str(), name_.c_str(), why.c_str());
            if (session_) {
                std::string tail = session_->plain();
                if (tail.size() > 1500) tail = tail.substr(tail.size() - 1500);
                std::printf("---- romwrite's screen, last part ----\n%s\n---- end ----\n", tail.c_str());
            }
        }
        std::fflush(stdout);
        if (session_ && session_->running()) session_->kill_group(9);
        session_.reset();
        transport_.reset();
        return ok() ? 0 : 1;
    }

    std::string image_path(const Firmware &fw) {
        std::string path = opt_.work + "/" + name_ + ".img";
        if (!write_file(path, fw.file)) fail("cannot write " + path);
        return path;
    }

private:
    const Options &opt_;
    std::string name_;
    std::string why_;
    DeviceIdentity identity_;
    std::unique_ptr<Bootloader> model_;
    std::unique_ptr<Transport> transport_;
    std::unique_ptr<e2e::PtySession> session_;
    unsigned warnings_before_ = 0;
};

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kChunk = 4032;

size_t chunks_for(size_t payload) { return payload / kChunk + 1; }
unsigned blocks_for(size_t payload) { return static_cast<unsigned>((payload + kChunk - 1) / kChunk); }

// Status mode on a device holding good firmware: versions, CRC OK, the note, and the next pass
// once the device is unplugged.
int scenario_status(const Options &opt) {
    Run run(opt, "status");
    Firmware fw = make_firmware(64 * 1024, 0x0103, 1);
    if (run.attach(&fw) && run.launch({}) && run.expect(kBanner) && run.plug() && run.expect_identity() &&
        run.expect("Firmware version:       1.3\n") && run.expect("\nChecking CRC...  \n") &&
        run.expect(kCrcOk) && run.expect("NOTE: A new firmware image has not been programmed.\n") &&
        run.expect(kDisconnect) && run.expect_waiting_for_unplug() && run.unplug() &&
        run.expect_next_pass()) {
        run.quit_with_key();
    }
    run.check_blocks(0);
    return run.report();
}

// A 1 MiB image onto an empty flash: every block arrives, the device's CRC agrees, the new version
// shows, and the flash holds the payload.
int scenario_program(const Options &opt) {
    Run run(opt, "program");
    Firmware fw = make_firmware(kMiB, 0x0207, 2);
    std::string image = run.image_path(fw);
    if (run.attach(nullptr) && run.launch({image}) && run.expect(kBanner) && run.plug() &&
        run.expect_identity() && run.expect("Firmware version:       FLASH EMPTY\n") &&
        run.expect_programming(kProgrammed, chunks_for(fw.payload.size())) && run.expect(kCrcOk) &&
        run.expect("|New firmware version: 2.7        |\n") && run.expect(kDisconnect) &&
        run.expect_waiting_for_unplug() && run.unplug() && run.expect_next_pass()) {
        run.quit_with_key();
    }
    run.check_blocks(blocks_for(fw.payload.size()));
    run.check_flash(fw);
    return run.report();
}

// Unplugged while romwrite waits for it to go: the next pass starts and finds the device again
// when it comes back; a key during the second disconnect wait ends the program.
int scenario_unplug_wait(const Options &opt) {
    Run run(opt, "unplug-wait");
    Firmware fw = make_firmware(8 * 1024, 0x0405, 3);
    if (run.attach(&fw) && run.launch({}) && run.expect(kBanner) && run.plug() && run.expect_identity() &&
        run.expect(kCrcOk) && run.expect(kDisconnect) && run.expect_waiting_for_unplug() && run.unplug() &&
        run.expect_next_pass() && run.plug() && run.expect_identity() &&
        run.expect("Firmware version:       4.5\n") && run.expect(kCrcOk) && run.expect(kDisconnect) &&
        run.expect_waiting_for_unplug()) {
        run.quit_with_key();
    }
    return run.report();
}

// The device disappears after its fifth block: romwrite reports the programming error, retries
// with a new pass, and programs the whole image once the device is back.
int scenario_vanish(const Options &opt) {
    Run run(opt, "vanish");
    Firmware fw = make_firmware(256 * 1024, 0x0309, 4);
    std::string image = run.image_path(fw);
    const unsigned kVanishAfter = 5;
    if (run.attach(nullptr)) {
        // Set before plugging, so no block can slip past the count.
        run.vanish_after_blocks(kVanishAfter);
    }
    if (run.ok() && run.launch({image}) && run.expect(kBanner) && run.plug() && run.expect_identity() &&
        run.expect_programming(kProgrammingError, kVanishAfter) && run.expect(kDisconnect)) {
        run.check_blocks(kVanishAfter);
        run.power_cycle_after_vanish();
    }
    if (run.ok() && run.expect_next_pass() && run.plug() && run.expect_identity() &&
        run.expect_programming(kProgrammed, chunks_for(fw.payload.size())) && run.expect(kCrcOk) &&
        run.expect("|New firmware version: 3.9        |\n") && run.expect(kDisconnect) &&
        run.expect_waiting_for_unplug()) {
        run.quit_with_key();
    }
    run.check_blocks(kVanishAfter + blocks_for(fw.payload.size()));
    run.check_flash(fw);
    return run.report();
}

// The device never answers the CRC read. romwrite's reads are non-blocking, so each poll through
// hidraw comes back empty at once; after half a second of them it gives the red verdict and goes
// on, instead of hanging in a read.
int scenario_no_reply(const Options &opt) {
    Run run(opt, "no-reply");
    Firmware fw = make_firmware(16 * 1024, 0x0106, 5);
    if (run.attach(&fw)) run.ignore_reads_of(0x82);
    if (run.ok() && run.launch({}) && run.expect(kBanner) && run.plug() && run.expect_identity() &&
        run.expect("Firmware version:       1.6\n") && run.expect("\nChecking CRC...  \n") &&
        run.expect("|             WRONG CRC           |\n+---------------------------------+\n") &&
        run.expect("NOTE: A new firmware image has not been programmed.\n") && run.expect(kDisconnect) &&
        run.expect_waiting_for_unplug() && run.unplug() && run.expect_next_pass()) {
        run.quit_with_key();
    }
    return run.report();
}

struct Scenario {
    const char *name;
    int (*run)(const Options &);
};

const Scenario kScenarios[] = {
    {"status", scenario_status},
    {"program", scenario_program},
    {"unplug-wait", scenario_unplug_wait},
    {"vanish", scenario_vanish},
    {"no-reply", scenario_no_reply},
};

int usage() {
    std::fprintf(stderr, "usage: rig-guest --route uhid|usb|usb-fs --romwrite PATH [--work DIR] SCENARIO...|all\n");
    return 2;
}

}  // namespace
}  // namespace rig

int main(int argc, char **argv) {
    using namespace rig;
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--route" || a == "--romwrite" || a == "--work") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--route") opt.route = v;
            if (a == "--romwrite") opt.romwrite = v;
            if (a == "--work") opt.work = v;
        } else if (a == "all") {
            for (const Scenario &s : kScenarios) opt.scenarios.push_back(s.name);
        } else if (!a.empty() && a[0] != '-') {
            opt.scenarios.push_back(a);
        } else {
            return usage();
        }
    }
    if (opt.route.empty() || opt.romwrite.empty() || opt.scenarios.empty()) return usage();

    // romwrite inherits this: it and the device's thread share CPU 0, so the device, at real-time
    // priority, takes each report before romwrite's write returns.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    sched_setaffinity(0, sizeof cpus, &cpus);

    int failed = 0;
    for (const std::string &name : opt.scenarios) {
        const Scenario *found = nullptr;
        for (const Scenario &s : kScenarios) {
            if (name == s.name) found = &s;
        }
        if (!found) {
            std::printf("RIG FAIL %s/%s: no such scenario\n", opt.route.c_str(), name.c_str());
            ++failed;
            continue;
        }
        failed += found->run(opt);
    }
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

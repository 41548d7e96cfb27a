#include "e2e_support.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>
#include <sstream>

#include "firmware_image.h"

namespace e2e {

const char *const kUsage =
    "Usage: romwrite binary_fw            to program FLASH\n"
    "  or\n"
    "       romwrite                      to read FLASH status\n";
const char *const kBanner =
    "Velorin Flash Programming Utility Version 1.0\n\n"
    "Please insert the USB cable now or press any key to exit\n";
const char *const kStatusNote =
    "NOTE: A new firmware image has not been programmed.\n"
    "      The existing firmware has not been modified.\n"
    "      Provide a command-line FW image file name as a parameter\n"
    "      to program a new FW image.\n\n";
const char *const kCrcOkBox =
    "+---------------------------------+\n"
    "|              CRC OK             |\n"
    "+---------------------------------+\n\n";
const char *const kWrongCrcBox =
    "+---------------------------------+\n"
    "|             WRONG CRC           |\n"
    "+---------------------------------+\n";
const char *const kDisconnect = "Please disconnect the device.\n";
const char *const kGoodDevice = "device flash=firmware:0x0102:8192\n";
const char *const kProgrammed = "  FLASH Programmed.\nPlease cycle power to the device.\n";
const char *const kProgrammingError =
    "  FLASH Programming error.\nPlease detach the device and run the programming utility again.\n";

const char *const kGreen = "\033[0;92m";
const char *const kRed = "\033[0;91m";
const char *const kNormal = "\033[0m";

std::string identity(const std::string &manufacturer, const std::string &product, const std::string &serial) {
    return "\nVelorin device detected.\n"
           "Manufacturer String:    " + manufacturer + "\n"
           "Product String:         " + product + "\n"
           "Serial Number String:   (" + std::to_string(serial.empty() ? 0 : static_cast<unsigned char>(serial[0])) +
           ") " + serial + "\n";
}

std::string default_identity() { return identity("Velorin Ltd", "Velorin Bootloader", "A00017"); }

std::string versions(const std::string &bootloader, const std::string &firmware) {
    return "\nBootloader version:     " + bootloader + "\nFirmware version:       " + firmware + "\n";
}

std::string new_version_box(const std::string &version) {
    std::string line = "|New firmware version: " + version + "        |\n";
    return "+---------------------------------+\n" + line + "+---------------------------------+\n";
}

std::string crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string field(const std::string &line, const std::string &key) {
    std::string needle = " " + key + "=";
    size_t at = line.find(needle);
    if (at == std::string::npos) return "";
    at += needle.size();
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

Bytes seeded(size_t size, uint32_t seed) {
    // A small LCG: deterministic bytes with no runs of zeros to hide padding mistakes.
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>((x >> 24) | 1);
    }
    return out;
}

Bytes padded(const Bytes &payload, size_t from, size_t len) {
    size_t rounded = (len + 63) / 64 * 64;
    Bytes out(rounded, 0);
    std::copy(payload.begin() + static_cast<long>(from), payload.begin() + static_cast<long>(from + len), out.begin());
    return out;
}

PtySession &Romwrite::start(const std::string &scenario, const std::vector<std::string> &args, bool terminal) {
    write_file("scenario.txt", Bytes(scenario.begin(), scenario.end()));
    mkdir(dir_.file("flash").c_str(), 0755);
    SessionOptions o;
    o.program = ROMWRITE_VIRTUAL_BIN;
    o.args = args;
    o.cwd = dir_.path();
    o.use_terminal = terminal;
    o.env["ROMWRITE_VDEV_SCENARIO"] = dir_.file("scenario.txt");
    o.env["ROMWRITE_VDEV_LOG"] = dir_.file("device.log");
    o.env["ROMWRITE_VDEV_FLASH_DIR"] = dir_.file("flash");
    session_ = std::make_unique<PtySession>(o);
    EXPECT_TRUE(session_->start()) << session_->failure();
    return *session_;
}

std::string Romwrite::write_file(const std::string &name, const Bytes &bytes) {
    std::string path = dir_.file(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string Romwrite::write_image(const std::string &name, const Bytes &payload, uint8_t marker) {
    return write_file(name, vdev::make_image(payload, vdev::kDefaultUnlockCode, marker));
}

Bytes Romwrite::firmware(uint16_t version, size_t total_size, uint32_t seed) {
    return vdev::firmware_payload(version, total_size, seed);
}

std::vector<std::string> Romwrite::log() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_.file("device.log"));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> Romwrite::log_matching(const std::string &word) const {
    std::vector<std::string> out;
    for (const auto &l : log())
        if (l.find(word) != std::string::npos) out.push_back(l);
    return out;
}

std::vector<Block> Romwrite::blocks() const {
    std::vector<Block> out;
    for (const auto &l : log_matching(" dir=block ")) {
        Block b;
        b.device = std::stoi(field(l, "dev"));
        b.address = static_cast<unsigned>(std::stoul(field(l, "addr"), nullptr, 16));
        b.data = std::stoul(field(l, "data"));
        b.sum = static_cast<unsigned>(std::stoul(field(l, "sum"), nullptr, 16));
        b.outcome = field(l, "outcome");
        out.push_back(b);
    }
    return out;
}

bool Romwrite::wait_for_log(const std::string &word, size_t count, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (log_matching(word).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

Bytes Romwrite::flash(int device) const {
    std::ifstream in(dir_.file("flash/dev" + std::to_string(device) + ".bin"), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Romwrite::expect_clean_exit(int timeout_ms) {
    ASSERT_TRUE(session_->wait_exit(timeout_ms)) << session_->failure();
    EXPECT_TRUE(session_->exited()) << session_->status_text();
    EXPECT_EQ(session_->exit_code(), 0);
    termios now{};
    if (session_->settings(&now)) {
        EXPECT_EQ(termios_difference(session_->initial_settings(), now), "") << "the terminal was not put back";
    }
}

std::string termios_difference(const termios &before, const termios &after) {
    std::ostringstream d;
    auto flag = [&](const char *name, tcflag_t a, tcflag_t b) {
        if (a != b) d << name << " " << std::hex << a << " -> " << b << std::dec << "; ";
    };
    flag("c_iflag", before.c_iflag, after.c_iflag);
    flag("c_oflag", before.c_oflag, after.c_oflag);
    flag("c_cflag", before.c_cflag, after.c_cflag);
    flag("c_lflag", before.c_lflag, after.c_lflag);
    if (cfgetispeed(&before) != cfgetispeed(&after)) d << "input speed; ";
    if (cfgetospeed(&before) != cfgetospeed(&after)) d << "output speed; ";
    for (size_t i = 0; i < NCCS; ++i) {
        if (before.c_cc[i] != after.c_cc[i])
            d << "c_cc[" << i << "] " << int(before.c_cc[i]) << " -> " << int(after.c_cc[i]) << "; ";
    }
    return d.str();
}

}  // namespace e2e

// A model of the device's HID bootloader: one output report in, zero or more input reports out.
//
// How the modelled bootloader works inside (our own choices; the host only sees the replies):
//
// - Flash: `Config::flash_size` bytes (default kFlashMax, enough for every block address the
//   16-bit field can carry), erased to 0xFF. A "programmed" flag is kept per 64-byte unit.
// - Unlock (write of 16 bytes to 0x80): with the right code the flash is erased, the programmed
//   map cleared, the programming-error flag cleared and the flash unlocked; a 1-byte read of 0x80
//   then answers 1. A wrong code (or a wrong length) locks the flash and leaves it as it was; the
//   read answers 0.
// - Blocks (report 2 to 0x81): accepted only while unlocked; data lands at address * 64. Writing
//   a unit that was already programmed since the last erase records a programming error (real
//   flash cannot be rewritten without an erase); that is how a repeated block is caught. A block
//   reaching past the end of the flash is a frame error and stores nothing.
// - Firmware version (read of 0x02): the LE16 at flash offset 8, so 0xFFFF for an erased flash.
// - CRC (data-less write to 0x82, then a 1-byte read of 0x82): the verdict is good iff the flash
//   starts with the firmware descriptor (see firmware_image.h: magic "VFW1", body length, version,
//   CRC-32), the body fits in the flash, the CRC-32 over descriptor bytes 0-11 and the body
//   matches the one in the descriptor, and no programming
//   error was recorded since the last erase. The read answers the verdict of the last check (0
//   when no check ran since power-up or the last unlock).
// - Every frame is checked before it is acted on (size 4096, report ID, 0x7F 0xA5, direction,
//   length field against the frame kind, checksum, end mark, zero padding, block length a
//   multiple of 64 and at most 4032, not empty). A frame with a violation is recorded and logged
//   but otherwise dropped: it gets no reply and changes nothing.
// - Replies: report ID `Config::reply_report_id` (1), 0x7F 0xA5, direction 0x01, echoed register,
//   LE16 length, data, checksum, 0xFF, zero padding to 4096 bytes. Registers 0x00/0x02 answer 2
//   bytes and 0x80/0x82 answer 1 byte whatever the request asked for; any other register gets no
//   reply. Writes never get a reply.
// - Reply faults (ReplyFault) reshape or suppress the replies to chosen read requests.
//
// Self-contained: no hidapi types, only the standard library.
#ifndef VDEV_BOOTLOADER_MODEL_H
#define VDEV_BOOTLOADER_MODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vdev {

constexpr size_t kReportSize = 4096;
constexpr size_t kUnit = 64;
constexpr size_t kBlockDataMax = 4032;
// The highest block address the 16-bit field can carry, with a full block behind it.
constexpr size_t kFlashMax = 0xFFFF * kUnit + kBlockDataMax;

using Bytes = std::vector<uint8_t>;
using UnlockCode = std::array<uint8_t, 16>;

// The unlock code used when none is chosen (also the image builder's default).
constexpr UnlockCode kDefaultUnlockCode = {0x56, 0x4C, 0x52, 0x4E, 0x2D, 0x55, 0x4E, 0x4C,
                                           0x4F, 0x43, 0x4B, 0x2D, 0x30, 0x30, 0x30, 0x31};

struct Config {
    uint16_t bootloader_version = 0x0103;
    UnlockCode unlock_code = kDefaultUnlockCode;
    // Flash contents from offset 0 at power-up; the rest is erased (0xFF). These bytes count as
    // programmed (their units are marked), so an extent and a verdict exist without programming.
    Bytes initial_flash;
    size_t flash_size = kFlashMax;
    // Input report ID of every reply.
    uint8_t reply_report_id = 1;
    // Empty polls (hid_read returning 0) before each reply becomes readable. The model only
    // carries the setting; whoever delivers the reports applies it.
    unsigned empty_polls = 0;
};

// Which read requests a fault applies to. Read requests are counted per fault, only those
// matching `reg` (any register when reg < 0), starting at 1.
//   at   > 0: fires once, on the at-th matching request;
//   from > 0: fires on every matching request from the from-th on;
//   both 0  : fires on every matching request.
struct Trigger {
    int reg = -1;
    unsigned at = 0;
    unsigned from = 0;
};

enum class ReplyKind {
    NoReply,      // the request is dropped: no reply at all
    WrongEcho,    // the reply echoes `value` (default: the register + 1) instead of the register
    LengthField,  // the length field says `value`; the data is padded with zeros to match, as
                  // far as the report has room
    ReplyByte,    // data byte 0 of the reply is `value`
    Stale,        // `value` (default 1) stale reports are queued before the answer: replies to
                  // register 0x7E with length 2 and data EE EE
    Short,        // the reply is cut to `value` bytes (e.g. 5: shorter than the header)
};

struct ReplyFault {
    ReplyKind kind = ReplyKind::NoReply;
    Trigger when;
    int value = -1;  // -1: the kind's default
    // Filled in by the model.
    unsigned seen = 0;
    unsigned fired = 0;
};

// What the model made of one output report.
struct FrameRecord {
    uint64_t seq = 0;          // 1-based, per model
    size_t size = 0;           // bytes handed over (should be 4096)
    uint8_t report_id = 0;
    uint8_t direction = 0;
    uint8_t reg = 0;
    uint16_t length = 0;       // the length field
    bool block = false;        // report 2
    uint16_t block_address = 0;
    size_t block_len = 0;      // data bytes in a block frame
    uint8_t data_sum = 0;      // 8-bit sum of the data bytes (blocks and command writes)
    Bytes data;                // command-frame data bytes (not kept for blocks)
    std::string violation;     // empty when the frame is well formed
    std::string outcome;       // what the device did: "reply", "no-reply", "stored",
                               // "refused-locked", "unlocked", "wrong-code", "crc-good", ...
    unsigned replies = 0;      // input reports produced
};

struct Counters {
    unsigned frames = 0;        // every output report received
    unsigned read_requests = 0; // well-formed command reads
    unsigned writes = 0;        // well-formed command writes
    unsigned blocks = 0;        // well-formed block frames (stored or not)
    unsigned probes = 0;        // data-less writes to 0x82 (CRC trigger and presence probe)
    unsigned violations = 0;
    unsigned replies = 0;
};

class BootloaderModel {
public:
    explicit BootloaderModel(Config config = Config());

    // One output report (report ID at offset 0) in; the input reports it causes out, each a
    // full report with its report ID at offset 0 (shorter only under a Short fault).
    std::vector<Bytes> receive(const uint8_t *report, size_t len);

    // Power-up state again: locked, no verdict; the flash keeps its contents.
    void power_cycle();

    void add_fault(const ReplyFault &fault);
    void clear_faults();
    const std::vector<ReplyFault> &faults() const { return faults_; }

    // Called with one log line (without newline) per event: frames, blocks, unlock, verdict,
    // faults fired. See virtual/README.md for the format; the device number is added by the
    // caller.
    void set_event_sink(std::function<void(const std::string &)> sink) { sink_ = std::move(sink); }

    const Config &config() const { return config_; }
    const Bytes &flash() const { return flash_; }
    // Bytes from offset 0 to the end of the highest programmed 64-byte unit; 0 when none.
    size_t programmed_extent() const;
    bool unit_programmed(size_t unit) const { return unit < programmed_.size() && programmed_[unit]; }
    uint16_t bootloader_version() const { return config_.bootloader_version; }
    uint16_t firmware_version() const;
    bool unlocked() const { return unlocked_; }
    bool programming_error() const { return programming_error_; }
    // The verdict a check would give now, and why ("ok" or the reason it fails).
    bool crc_good(std::string *reason = nullptr) const;
    // The verdict of the last check: 1 good, 0 bad, -1 no check since power-up or unlock.
    int last_verdict() const { return verdict_; }
    const std::vector<FrameRecord> &frames() const { return frames_; }
    const Counters &counters() const { return counters_; }

    // The reply the device gives to a read of `reg` with `data`, before any fault.
    Bytes make_reply(uint8_t reg, const Bytes &data) const;

private:
    std::string check_frame(const uint8_t *report, size_t len, FrameRecord &rec) const;
    void handle_read(FrameRecord &rec, std::vector<Bytes> &out);
    void handle_write(FrameRecord &rec);
    void handle_block(const uint8_t *report, FrameRecord &rec);
    void emit(const std::string &line) const;

    Config config_;
    Bytes flash_;
    std::vector<bool> programmed_;
    bool unlocked_ = false;
    bool programming_error_ = false;
    int verdict_ = -1;
    std::vector<ReplyFault> faults_;
    std::vector<FrameRecord> frames_;
    Counters counters_;
    std::function<void(const std::string &)> sink_;
};

// One log line describing a frame record, e.g.
// "frame seq=3 size=4096 report=1 dir=read reg=0x02 len=2 outcome=reply".
std::string describe(const FrameRecord &rec);

// IEEE CRC-32 (the one zlib uses), as the device computes it over the firmware body.
uint32_t crc32(const uint8_t *data, size_t len, uint32_t crc = 0);

// A byte or a word as the log writes it: "0x7F", "0x003F".
std::string hex2(unsigned v);
std::string hex4(unsigned v);

}  // namespace vdev

#endif

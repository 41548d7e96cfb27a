// The bootloader model: frame checks, registers, flash and CRC verdict. See bootloader_model.h.
#include "bootloader_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vdev {

namespace {

constexpr uint8_t kRegBootloader = 0x00;
constexpr uint8_t kRegFirmware = 0x02;
constexpr uint8_t kRegUnlock = 0x80;
constexpr uint8_t kRegFlash = 0x81;
constexpr uint8_t kRegCrc = 0x82;
constexpr uint8_t kStaleReg = 0x7E;

uint16_t le16(const uint8_t *at) { return (uint16_t)(at[0] | (at[1] << 8)); }
uint32_t le32(const uint8_t *at)
{
    return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) |
           ((uint32_t)at[3] << 24);
}

const char *kind_name(ReplyKind kind)
{
    switch (kind) {
    case ReplyKind::NoReply: return "no-reply";
    case ReplyKind::WrongEcho: return "wrong-echo";
    case ReplyKind::LengthField: return "length";
    case ReplyKind::ReplyByte: return "reply-byte";
    case ReplyKind::Stale: return "stale";
    case ReplyKind::Short: return "short";
    }
    return "?";
}

// Counts a matching event for a trigger and says whether the fault fires on it.
bool trigger_fires(const Trigger &when, int reg, unsigned &seen, unsigned &fired)
{
    if (when.reg >= 0 && when.reg != reg)
        return false;
    seen++;
    bool fire;
    if (when.at > 0)
        fire = seen == when.at;
    else if (when.from > 0)
        fire = seen >= when.from;
    else
        fire = true;
    if (fire)
        fired++;
    return fire;
}

}  // namespace

std::string hex2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

std::string hex4(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFFu);
    return buf;
}

uint32_t crc32(const uint8_t *data, size_t len, uint32_t crc)
{
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < len; i++)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

BootloaderModel::BootloaderModel(Config config) : config_(std::move(config))
{
    if (config_.flash_size == 0)
        config_.flash_size = kFlashMax;
    flash_.assign(config_.flash_size, 0xFF);
    programmed_.assign((config_.flash_size + kUnit - 1) / kUnit, false);
    size_t n = std::min(config_.initial_flash.size(), flash_.size());
    std::copy_n(config_.initial_flash.begin(), n, flash_.begin());
    for (size_t u = 0; u * kUnit < n; u++)
        programmed_[u] = true;
}

void BootloaderModel::power_cycle()
{
    unlocked_ = false;
    verdict_ = -1;
}

void BootloaderModel::add_fault(const ReplyFault &fault)
{
    faults_.push_back(fault);
    faults_.back().seen = 0;
    faults_.back().fired = 0;
}

void BootloaderModel::clear_faults() { faults_.clear(); }

void BootloaderModel::emit(const std::string &line) const
{
    if (sink_)
        sink_(line);
}

size_t BootloaderModel::programmed_extent() const
{
    for (size_t u = programmed_.size(); u > 0; u--)
        if (programmed_[u - 1])
            return std::min(u * kUnit, flash_.size());
    return 0;
}

uint16_t BootloaderModel::firmware_version() const { return le16(flash_.data() + 8); }

bool BootloaderModel::crc_good(std::string *reason) const
{
    auto fail = [&](const char *why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (programming_error_)
        return fail("programming-error");
    if (std::memcmp(flash_.data(), "VFW1", 4) != 0)
        return fail("no-descriptor");
    uint32_t body = le32(flash_.data() + 4);
    if (body > flash_.size() - 16)
        return fail("body-too-long");
    // The check value covers the descriptor's first 12 bytes too, so that a damaged version word
    // or length cannot pass as good firmware.
    uint32_t crc = crc32(flash_.data(), 12);
    if (crc32(flash_.data() + 16, body, crc) != le32(flash_.data() + 12))
        return fail("crc-mismatch");
    if (reason)
        *reason = "ok";
    return true;
}

Bytes BootloaderModel::make_reply(uint8_t reg, const Bytes &data) const
{
    Bytes r(kReportSize, 0);
    r[0] = config_.reply_report_id;
    r[1] = 0x7F;
    r[2] = 0xA5;
    r[3] = 0x01;
    r[4] = reg;
    r[5] = (uint8_t)(data.size() & 0xFF);
    r[6] = (uint8_t)(data.size() >> 8);
    size_t n = std::min(data.size(), kReportSize - 9);
    std::copy_n(data.begin(), n, r.begin() + 7);
    uint8_t sum = 0;
    for (size_t i = 3; i < 7 + n; i++)
        sum = (uint8_t)(sum + r[i]);
    r[7 + n] = (uint8_t)(0xFF - sum);
    r[8 + n] = 0xFF;
    return r;
}

// Returns the first violation found, or an empty string. Fills the decoded fields of `rec` as
// far as the frame allows.
std::string BootloaderModel::check_frame(const uint8_t *p, size_t len, FrameRecord &rec) const
{
    if (len < 10)
        return "too-short:" + std::to_string(len);
    rec.report_id = p[0];
    rec.direction = p[3];
    rec.reg = p[4];
    rec.length = le16(p + 5);
    if (len != kReportSize)
        return "size:" + std::to_string(len);
    if (p[0] != 1 && p[0] != 2)
        return "report-id:" + hex2(p[0]);
    if (p[1] != 0x7F || p[2] != 0xA5)
        return "start-bytes";
    size_t end;  // offset of the checksum
    if (p[0] == 1) {
        if (p[3] > 1)
            return "direction:" + hex2(p[3]);
        if (p[3] == 1) {
            end = 7;
        } else {
            if (rec.length > 255)
                return "length:" + std::to_string(rec.length);
            end = 7 + rec.length;
        }
    } else {
        rec.block = true;
        if (p[3] != 0)
            return "direction:" + hex2(p[3]);
        if (rec.length < 2 || rec.length - 2u > kBlockDataMax)
            return "length:" + std::to_string(rec.length);
        rec.block_address = le16(p + 7);
        rec.block_len = rec.length - 2u;
        if (rec.block_len % kUnit != 0)
            return "block-length:" + std::to_string(rec.block_len);
        if (rec.block_len == 0)
            return "empty-block";
        end = 9 + rec.block_len;
    }
    uint8_t sum = 0;
    for (size_t i = 3; i <= end; i++)
        sum = (uint8_t)(sum + p[i]);
    if (sum != 0xFF)
        return "checksum";
    if (p[end + 1] != 0xFF)
        return "end-mark";
    for (size_t i = end + 2; i < len; i++)
        if (p[i] != 0)
            return "padding:" + std::to_string(i);
    size_t data_at = rec.block ? 9 : 7;
    size_t data_len = rec.block ? rec.block_len : (p[3] == 0 ? rec.length : 0);
    uint8_t dsum = 0;
    for (size_t i = 0; i < data_len; i++)
        dsum = (uint8_t)(dsum + p[data_at + i]);
    rec.data_sum = dsum;
    if (!rec.block)
        rec.data.assign(p + data_at, p + data_at + data_len);
    if (rec.block && rec.reg != kRegFlash)
        return "block-register:" + hex2(rec.reg);
    if (!rec.block && rec.reg == kRegFlash)
        return "command-to-flash-register";
    return "";
}

std::vector<Bytes> BootloaderModel::receive(const uint8_t *report, size_t len)
{
    std::vector<Bytes> out;
    FrameRecord rec;
    rec.seq = ++counters_.frames;
    rec.size = len;
    rec.violation = check_frame(report, len, rec);
    if (!rec.violation.empty()) {
        counters_.violations++;
        rec.outcome = "dropped";
    } else if (rec.block) {
        counters_.blocks++;
        handle_block(report, rec);
    } else if (rec.direction == 1) {
        counters_.read_requests++;
        handle_read(rec, out);
    } else {
        counters_.writes++;
        handle_write(rec);
    }
    rec.replies = (unsigned)out.size();
    counters_.replies += rec.replies;
    emit(describe(rec));
    frames_.push_back(std::move(rec));
    return out;
}

void BootloaderModel::handle_read(FrameRecord &rec, std::vector<Bytes> &out)
{
    Bytes data;
    switch (rec.reg) {
    case kRegBootloader:
        data = {(uint8_t)(config_.bootloader_version & 0xFF), (uint8_t)(config_.bootloader_version >> 8)};
        break;
    case kRegFirmware: {
        uint16_t v = firmware_version();
        data = {(uint8_t)(v & 0xFF), (uint8_t)(v >> 8)};
        break;
    }
    case kRegUnlock:
        data = {(uint8_t)(unlocked_ ? 1 : 0)};
        break;
    case kRegCrc:
        data = {(uint8_t)(verdict_ == 1 ? 1 : 0)};
        break;
    default:
        rec.outcome = "unknown-register";
        return;
    }

    Bytes reply = make_reply(rec.reg, data);
    bool send = true;
    unsigned stale = 0;
    int short_to = -1;
    for (ReplyFault &f : faults_) {
        if (!trigger_fires(f.when, rec.reg, f.seen, f.fired))
            continue;
        emit(std::string("fault kind=") + kind_name(f.kind) + " reg=" + hex2(rec.reg) +
             " request=" + std::to_string(f.seen));
        switch (f.kind) {
        case ReplyKind::NoReply:
            send = false;
            break;
        case ReplyKind::WrongEcho:
            reply[4] = (uint8_t)(f.value >= 0 ? f.value : rec.reg + 1);
            break;
        case ReplyKind::LengthField: {
            uint16_t n = (uint16_t)(f.value >= 0 ? f.value : 0xFFFF);
            Bytes padded = data;
            padded.resize(std::min<size_t>(n, kReportSize - 9), 0);
            // The data is padded as far as the report has room; the length field says `n`
            // whether or not it fits.
            reply = make_reply(rec.reg, padded);
            reply[5] = (uint8_t)(n & 0xFF);
            reply[6] = (uint8_t)(n >> 8);
            break;
        }
        case ReplyKind::ReplyByte:
            reply[7] = (uint8_t)(f.value >= 0 ? f.value : 0);
            break;
        case ReplyKind::Stale:
            stale += (unsigned)(f.value >= 0 ? f.value : 1);
            break;
        case ReplyKind::Short:
            short_to = f.value >= 0 ? f.value : 5;
            break;
        }
    }
    for (unsigned i = 0; i < stale; i++)
        out.push_back(make_reply(kStaleReg, Bytes{0xEE, 0xEE}));
    if (!send) {
        rec.outcome = "no-reply";
        return;
    }
    if (short_to >= 0 && (size_t)short_to < reply.size())
        reply.resize((size_t)short_to);
    out.push_back(std::move(reply));
    rec.outcome = "reply";
}

void BootloaderModel::handle_write(FrameRecord &rec)
{
    switch (rec.reg) {
    case kRegUnlock: {
        bool good = rec.data.size() == config_.unlock_code.size() &&
                    std::equal(rec.data.begin(), rec.data.end(), config_.unlock_code.begin());
        if (good) {
            std::fill(flash_.begin(), flash_.end(), 0xFF);
            std::fill(programmed_.begin(), programmed_.end(), false);
            programming_error_ = false;
            verdict_ = -1;
            unlocked_ = true;
            rec.outcome = "unlocked";
        } else {
            unlocked_ = false;
            rec.outcome = "wrong-code";
        }
        emit(std::string("unlock result=") + (good ? "ok" : "wrong-code"));
        break;
    }
    case kRegCrc:
        if (!rec.data.empty()) {
            rec.outcome = "ignored-data";
            break;
        }
        counters_.probes++;
        {
            std::string reason;
            bool good = crc_good(&reason);
            verdict_ = good ? 1 : 0;
            rec.outcome = good ? "crc-good" : "crc-bad";
            emit(std::string("crc verdict=") + (good ? "good" : "bad") + " reason=" + reason +
                 " extent=" + std::to_string(programmed_extent()) + " probe=" +
                 std::to_string(counters_.probes));
        }
        break;
    default:
        rec.outcome = "ignored";
        break;
    }
}

void BootloaderModel::handle_block(const uint8_t *report, FrameRecord &rec)
{
    size_t at = (size_t)rec.block_address * kUnit;
    std::string result;
    if (!unlocked_) {
        result = "refused-locked";
    } else if (at + rec.block_len > flash_.size()) {
        // Nothing is stored; the frame counts as faulty.
        rec.violation = "beyond-flash-end";
        counters_.violations++;
        result = "beyond-end";
    } else {
        bool again = false;
        for (size_t u = at / kUnit; u < (at + rec.block_len) / kUnit; u++) {
            if (programmed_[u])
                again = true;
            programmed_[u] = true;
        }
        std::copy_n(report + 9, rec.block_len, flash_.begin() + (std::ptrdiff_t)at);
        if (again)
            programming_error_ = true;
        result = again ? "reprogrammed" : "stored";
    }
    rec.outcome = result;
    emit("block addr=" + hex4(rec.block_address) + " offset=" + std::to_string(at) +
         " len=" + std::to_string(rec.block_len) + " sum=" + hex2(rec.data_sum) +
         " result=" + result);
}

std::string describe(const FrameRecord &rec)
{
    std::string s = "frame seq=" + std::to_string(rec.seq) + " size=" + std::to_string(rec.size) +
                    " report=" + std::to_string(rec.report_id);
    if (rec.block) {
        s += " dir=block reg=" + hex2(rec.reg) + " len=" + std::to_string(rec.length) +
             " addr=" + hex4(rec.block_address) + " data=" + std::to_string(rec.block_len) +
             " sum=" + hex2(rec.data_sum);
    } else {
        s += std::string(" dir=") + (rec.direction == 1 ? "read" : rec.direction == 0 ? "write" : "?") +
             " reg=" + hex2(rec.reg) + " len=" + std::to_string(rec.length);
        if (rec.direction == 0 && rec.violation.empty())
            s += " sum=" + hex2(rec.data_sum);
    }
    s += " outcome=" + rec.outcome;
    if (!rec.violation.empty())
        s += " violation=" + rec.violation;
    return s;
}

}  // namespace vdev

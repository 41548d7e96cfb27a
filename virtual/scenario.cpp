// Scenario text: one directive per line. See virtual/README.md for the format.
#include "scenario.h"

#include "firmware_image.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vdev {

const char *const kProductionLineScenario =
    "# A production line: devices with an empty flash arrive one after another. Each leaves\n"
    "# right after its third presence probe (the CRC check counts as the first), and the next\n"
    "# one is there four device look-ups later (two discovery rounds, about 400 ms).\n"
    "device flash=empty unplug-probes=3\n"
    "device arrive-opens=4 flash=empty unplug-probes=3\n"
    "device arrive-opens=4 flash=firmware:0x0100:8192 unplug-probes=3\n"
    "loop\n";

namespace {

struct Fail {
    std::string what;
};

bool to_number(const std::string &s, unsigned long max, unsigned long &out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

unsigned number(const std::string &key, const std::string &value, unsigned long max = 0xFFFFFFFFul)
{
    unsigned long v;
    if (!to_number(value, max, v))
        throw Fail{key + "=" + value + ": not a number in 0.." + std::to_string(max)};
    return (unsigned)v;
}

std::wstring widen(const std::string &s)
{
    // Device strings are plain ASCII in practice; anything else is taken byte by byte.
    std::wstring w;
    for (unsigned char c : s)
        w += (wchar_t)c;
    return w;
}

UnlockCode parse_unlock(const std::string &hex)
{
    if (hex.size() != 32)
        throw Fail{"unlock=" + hex + ": want 32 hex digits"};
    UnlockCode code{};
    for (size_t i = 0; i < 16; i++) {
        unsigned long v;
        if (!to_number("0x" + hex.substr(2 * i, 2), 0xFF, v))
            throw Fail{"unlock=" + hex + ": want 32 hex digits"};
        code[i] = (uint8_t)v;
    }
    return code;
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

Bytes parse_flash(const std::string &value)
{
    if (value == "empty")
        return {};
    if (value.rfind("image:", 0) == 0) {
        std::string path = value.substr(6);
        std::ifstream in(path, std::ios::binary);
        if (!in)
            throw Fail{"flash=" + value + ": cannot read " + path};
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (file.size() < kImageHeaderSize)
            throw Fail{"flash=" + value + ": shorter than an image header"};
        return Bytes(file.begin() + kImageHeaderSize, file.end());
    }
    std::vector<std::string> parts = split(value, ':');
    bool bad = parts[0] == "bad-firmware";
    if ((parts[0] == "firmware" || bad) && parts.size() >= 2 && parts.size() <= 4) {
        uint16_t version = (uint16_t)number("flash version", parts[1], 0xFFFF);
        size_t size = parts.size() > 2 ? number("flash size", parts[2], kFlashMax) : 4096;
        if (size < kDescriptorSize)
            throw Fail{"flash=" + value + ": a firmware needs at least 16 bytes"};
        uint32_t seed = parts.size() > 3 ? number("flash seed", parts[3]) : 1;
        return firmware_payload(version, size, seed, bad);
    }
    throw Fail{"flash=" + value +
               ": want empty, firmware:VERSION[:SIZE[:SEED]], bad-firmware:VERSION[:SIZE[:SEED]]"
               " or image:PATH"};
}

// Splits a line into words; double quotes group words with spaces ("Velorin Ltd"). A # outside
// quotes starts a comment.
std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, have = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                cur += c;
        } else if (c == '"') {
            quoted = true;
            have = true;
        } else if (c == '#') {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (have)
                out.push_back(cur);
            cur.clear();
            have = false;
        } else {
            cur += c;
            have = true;
        }
    }
    if (quoted)
        throw Fail{"unterminated quote"};
    if (have)
        out.push_back(cur);
    return out;
}

void apply_device_word(DevicePlan &d, const std::string &word)
{
    size_t eq = word.find('=');
    std::string key = word.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    bool has_value = eq != std::string::npos;
    auto need_value = [&] {
        if (!has_value)
            throw Fail{key + ": needs a value (" + key + "=...)"};
    };
    auto no_value = [&] {
        if (has_value)
            throw Fail{key + ": takes no value"};
    };

    if (key == "id") {
        need_value();
        if (value == "primary") {
            d.vendor_id = kPrimaryVendor;
            d.product_id = kPrimaryProduct;
        } else if (value == "secondary") {
            d.vendor_id = kSecondaryVendor;
            d.product_id = kSecondaryProduct;
        } else {
            throw Fail{"id=" + value + ": want primary or secondary"};
        }
    } else if (key == "vid") {
        need_value();
        d.vendor_id = (uint16_t)number(key, value, 0xFFFF);
    } else if (key == "pid") {
        need_value();
        d.product_id = (uint16_t)number(key, value, 0xFFFF);
    } else if (key == "manufacturer") {
        need_value();
        d.manufacturer = widen(value);
    } else if (key == "product") {
        need_value();
        d.product = widen(value);
    } else if (key == "serial") {
        need_value();
        d.serial = widen(value);
    } else if (key == "fail") {
        need_value();
        for (const std::string &what : split(value, ',')) {
            if (what == "manufacturer")
                d.fail_manufacturer = true;
            else if (what == "product")
                d.fail_product = true;
            else if (what == "serial")
                d.fail_serial = true;
            else
                throw Fail{"fail=" + value + ": want manufacturer, product and/or serial"};
        }
    } else if (key == "bootloader") {
        need_value();
        d.config.bootloader_version = (uint16_t)number(key, value, 0xFFFF);
    } else if (key == "unlock") {
        need_value();
        d.config.unlock_code = parse_unlock(value);
    } else if (key == "flash") {
        need_value();
        d.config.initial_flash = parse_flash(value);
    } else if (key == "flash-size") {
        need_value();
        d.config.flash_size = number(key, value, kFlashMax);
        if (d.config.flash_size < kUnit)
            throw Fail{"flash-size=" + value + ": at least 64"};
    } else if (key == "empty-polls") {
        need_value();
        d.config.empty_polls = number(key, value, 1000000);
    } else if (key == "reply-id") {
        need_value();
        d.config.reply_report_id = (uint8_t)number(key, value, 0xFF);
    } else if (key == "arrive-opens") {
        need_value();
        d.arrive_opens = number(key, value);
    } else if (key == "arrive-ms") {
        need_value();
        d.arrive_ms = number(key, value);
    } else if (key == "together") {
        no_value();
        d.together = true;
    } else if (key == "again") {
        no_value();
        d.again = true;
    } else if (key == "unplug-probes") {
        need_value();
        d.unplug_probes = number(key, value);
    } else if (key == "unplug-blocks") {
        need_value();
        d.unplug_blocks = number(key, value);
    } else if (key == "unplug-writes") {
        need_value();
        d.unplug_writes = number(key, value);
    } else if (key == "unplug-ms") {
        need_value();
        d.unplug_ms = number(key, value);
    } else if (key == "deny-opens") {
        need_value();
        d.deny_opens = number(key, value);
    } else if (key == "open-denied") {
        no_value();
        d.open_denied = true;
    } else {
        throw Fail{"unknown device setting '" + key + "'"};
    }
}

void apply_fault(DevicePlan &d, const std::vector<std::string> &w)
{
    if (w.size() < 2)
        throw Fail{"fault: which one? (no-reply, wrong-echo, length, reply-byte, stale, short, "
                   "write-fail, block-fail, read-fail)"};
    const std::string &kind = w[1];
    Trigger when;
    int value = -1;
    for (size_t i = 2; i < w.size(); i++) {
        size_t eq = w[i].find('=');
        if (eq == std::string::npos)
            throw Fail{"fault " + kind + ": '" + w[i] + "' is not key=value"};
        std::string key = w[i].substr(0, eq), v = w[i].substr(eq + 1);
        if (key == "reg")
            when.reg = (int)number(key, v, 0xFF);
        else if (key == "at")
            when.at = number(key, v);
        else if (key == "from")
            when.from = number(key, v);
        else if (key == "value")
            value = (int)number(key, v, 0xFFFF);
        else
            throw Fail{"fault " + kind + ": unknown setting '" + key + "'"};
    }
    if (when.at > 0 && when.from > 0)
        throw Fail{"fault " + kind + ": give at= or from=, not both"};

    static const struct {
        const char *name;
        ReplyKind kind;
    } reply_kinds[] = {
        {"no-reply", ReplyKind::NoReply},       {"wrong-echo", ReplyKind::WrongEcho},
        {"length", ReplyKind::LengthField},     {"reply-byte", ReplyKind::ReplyByte},
        {"stale", ReplyKind::Stale},            {"short", ReplyKind::Short},
    };
    for (const auto &r : reply_kinds) {
        if (kind == r.name) {
            ReplyFault f;
            f.kind = r.kind;
            f.when = when;
            f.value = value;
            d.reply_faults.push_back(f);
            return;
        }
    }
    TransportFault t;
    t.when = when;
    if (kind == "write-fail")
        t.kind = TransportKind::WriteFail;
    else if (kind == "block-fail")
        t.kind = TransportKind::BlockFail;
    else if (kind == "read-fail")
        t.kind = TransportKind::ReadFail;
    else
        throw Fail{"unknown fault '" + kind + "'"};
    if (value >= 0)
        throw Fail{"fault " + kind + ": takes no value="};
    if (when.reg >= 0 && t.kind != TransportKind::WriteFail)
        throw Fail{"fault " + kind + ": reg= only goes with write-fail"};
    d.transport_faults.push_back(t);
}

}  // namespace

bool parse_scenario(const std::string &text, Scenario &out, std::string &error)
{
    Scenario sc;
    std::istringstream in(text);
    std::string line;
    unsigned lineno = 0;
    try {
        while (std::getline(in, line)) {
            lineno++;
            std::vector<std::string> w = words(line);
            if (w.empty())
                continue;
            if (w[0] == "device") {
                DevicePlan d;
                for (size_t i = 1; i < w.size(); i++)
                    apply_device_word(d, w[i]);
                if (d.again && sc.devices.empty())
                    throw Fail{"again: there is no earlier device"};
                if (d.together && sc.devices.empty())
                    throw Fail{"together: there is no earlier device"};
                sc.devices.push_back(d);
            } else if (w[0] == "fault") {
                if (sc.devices.empty())
                    throw Fail{"fault before any device line"};
                apply_fault(sc.devices.back(), w);
            } else if (w[0] == "loop") {
                if (w.size() > 1)
                    throw Fail{"loop takes nothing after it"};
                sc.loop = true;
            } else {
                throw Fail{"unknown directive '" + w[0] + "' (want device, fault or loop)"};
            }
        }
    } catch (const Fail &f) {
        error = "line " + std::to_string(lineno) + ": " + f.what;
        return false;
    }
    out = std::move(sc);
    return true;
}

}  // namespace vdev

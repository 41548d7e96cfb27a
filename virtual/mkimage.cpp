// romwrite-mkimage: writes a firmware image file for the virtual device.
#include "firmware_image.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "Usage: romwrite-mkimage OUT --payload-size N [options]\n"
    "Writes a firmware image for the virtual device: a 196-byte header, then N payload bytes.\n"
    "The payload is a 16-byte firmware descriptor and a seeded body, which the virtual device\n"
    "accepts (CRC OK, version shown); payloads under 16 bytes, and --raw ones, are seeded bytes\n"
    "without a descriptor, which program fine but give a wrong CRC.\n"
    "\n"
    "  --payload-size N   payload bytes after the header (required unless --payload-file)\n"
    "  --payload-file P   take the payload bytes from file P as they are\n"
    "  --version V        firmware version word, e.g. 0x0102 for 1.2 (default 0x0102)\n"
    "  --marker B         header byte 0 (default 1; anything else is rejected by the program)\n"
    "  --unlock HEX32     unlock code as 32 hex digits (default: the virtual device's code)\n"
    "  --seed S           seed of the body bytes (default 1)\n"
    "  --bad-crc          descriptor CRC off by one: the device gives a wrong CRC\n"
    "  --raw              no descriptor: seeded bytes only\n"
    "  --truncate N       cut the whole file to N bytes (e.g. 195 for a short header)\n"
    "  --help             this text\n";

bool parse_number(const char *s, unsigned long max, unsigned long &out)
{
    if (!s || !*s || *s == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = std::strtoul(s, &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "romwrite-mkimage: %s\n\n%s", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string out_path, payload_file;
    unsigned long payload_size = 0, version = 0x0102, marker = 1, seed = 1, truncate = 0;
    bool have_size = false, bad_crc = false, raw = false, have_truncate = false;
    vdev::UnlockCode unlock = vdev::kDefaultUnlockCode;

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](unsigned long max, unsigned long &out) {
            if (!parse_number(next, max, out))
                return false;
            i++;
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--payload-size") {
            if (!number(vdev::kFlashMax, payload_size))
                return usage_error("--payload-size wants a number up to " + std::to_string(vdev::kFlashMax));
            have_size = true;
        } else if (a == "--payload-file") {
            if (!next)
                return usage_error("--payload-file wants a path");
            payload_file = next;
            i++;
        } else if (a == "--version") {
            if (!number(0xFFFF, version))
                return usage_error("--version wants a number up to 0xFFFF");
        } else if (a == "--marker") {
            if (!number(0xFF, marker))
                return usage_error("--marker wants a number up to 0xFF");
        } else if (a == "--seed") {
            if (!number(0xFFFFFFFFul, seed))
                return usage_error("--seed wants a 32-bit number");
        } else if (a == "--truncate") {
            if (!number(0xFFFFFFFFul, truncate))
                return usage_error("--truncate wants a number");
            have_truncate = true;
        } else if (a == "--unlock") {
            if (!next || std::strlen(next) != 32)
                return usage_error("--unlock wants 32 hex digits");
            for (size_t k = 0; k < 16; k++) {
                char pair[5] = {'0', 'x', next[2 * k], next[2 * k + 1], 0};
                unsigned long v;
                if (!parse_number(pair, 0xFF, v))
                    return usage_error("--unlock wants 32 hex digits");
                unlock[k] = (uint8_t)v;
            }
            i++;
        } else if (a == "--bad-crc") {
            bad_crc = true;
        } else if (a == "--raw") {
            raw = true;
        } else if (!a.empty() && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (out_path.empty()) {
            out_path = a;
        } else {
            return usage_error("more than one output file named");
        }
    }
    if (out_path.empty())
        return usage_error("no output file named");
    if (have_size == !payload_file.empty())
        return usage_error("give exactly one of --payload-size and --payload-file");

    vdev::Bytes payload;
    if (!payload_file.empty()) {
        FILE *f = std::fopen(payload_file.c_str(), "rb");
        if (!f) {
            std::fprintf(stderr, "romwrite-mkimage: cannot read %s: %s\n", payload_file.c_str(),
                         std::strerror(errno));
            return 1;
        }
        int c;
        while ((c = std::fgetc(f)) != EOF)
            payload.push_back((uint8_t)c);
        std::fclose(f);
    } else if (raw || payload_size < vdev::kDescriptorSize) {
        payload = vdev::seeded_bytes(payload_size, (uint32_t)seed);
    } else {
        payload = vdev::firmware_payload((uint16_t)version, payload_size, (uint32_t)seed, bad_crc);
    }

    vdev::Bytes image = vdev::make_image(payload, unlock, (uint8_t)marker);
    if (have_truncate && truncate < image.size())
        image.resize(truncate);

    FILE *f = std::fopen(out_path.c_str(), "wb");
    if (!f || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "romwrite-mkimage: cannot write %s: %s\n", out_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    bool described = payload.size() >= vdev::kDescriptorSize &&
                     std::memcmp(payload.data(), vdev::kFirmwareMagic, 4) == 0;
    std::printf("%s: %zu bytes (payload %zu, %s)\n", out_path.c_str(), image.size(), payload.size(),
                described ? (bad_crc ? "firmware with a bad CRC" : "firmware") : "raw");
    return 0;
}

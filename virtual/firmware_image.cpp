// Image files and firmware payloads for the virtual device. See firmware_image.h.
#include "firmware_image.h"

#include <algorithm>
#include <cstring>

namespace vdev {

namespace {

void put_le16(uint8_t *at, uint16_t v)
{
    at[0] = (uint8_t)(v & 0xFF);
    at[1] = (uint8_t)(v >> 8);
}

void put_le32(uint8_t *at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        at[i] = (uint8_t)(v >> (8 * i));
}

}  // namespace

Bytes seeded_bytes(size_t size, uint32_t seed)
{
    // xorshift32: cheap, deterministic, and never stuck at zero.
    uint32_t x = seed ? seed : 0x9E3779B9u;
    Bytes out(size);
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = (uint8_t)(x >> 24);
    }
    return out;
}

Bytes firmware_payload(uint16_t version, size_t total_size, uint32_t seed, bool bad_crc)
{
    if (total_size < kDescriptorSize)
        total_size = kDescriptorSize;
    Bytes body = seeded_bytes(total_size - kDescriptorSize, seed);
    Bytes out(kDescriptorSize, 0);
    std::memcpy(out.data(), kFirmwareMagic, 4);
    put_le32(out.data() + 4, (uint32_t)body.size());
    put_le16(out.data() + 8, version);
    uint32_t crc = crc32(body.data(), body.size(), crc32(out.data(), 12));
    put_le32(out.data() + 12, bad_crc ? crc + 1 : crc);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes image_header(const Bytes &payload, const UnlockCode &unlock, uint8_t marker)
{
    Bytes h(kImageHeaderSize, 0);
    h[0] = marker;
    std::memcpy(h.data() + 1, "VIMG", 4);
    bool described = payload.size() >= kDescriptorSize &&
                     std::memcmp(payload.data(), kFirmwareMagic, 4) == 0;
    put_le16(h.data() + 5, described ? (uint16_t)(payload[8] | (payload[9] << 8)) : 0xFFFF);
    put_le32(h.data() + 7, (uint32_t)payload.size());
    if (described)
        std::copy_n(payload.begin() + 12, 4, h.begin() + 11);
    std::copy(unlock.begin(), unlock.end(), h.begin() + kImageUnlockOffset);
    return h;
}

Bytes make_image(const Bytes &payload, const UnlockCode &unlock, uint8_t marker)
{
    Bytes out = image_header(payload, unlock, marker);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes make_firmware_image(uint16_t version, size_t payload_size, uint32_t seed,
                          const UnlockCode &unlock, uint8_t marker, bool bad_crc)
{
    return make_image(firmware_payload(version, payload_size, seed, bad_crc), unlock, marker);
}

}  // namespace vdev

// Firmware image files for the virtual device, and the payload layout the device checks.
//
// Image file: a 196-byte header followed by the payload.
//   byte 0        format marker (1 for a good file)
//   bytes 1-43    "VIMG" at 1-4, then the version (LE16) at 5-6, the payload length (LE32) at
//                 7-10 and the descriptor's CRC (LE32) at 11-14, for people reading a hex dump; the
//                 device never sees the header and nothing reads these bytes; the rest is zero
//   bytes 44-59   the 16-byte unlock code
//   bytes 60-195  zero
// Payload: what the device stores from flash offset 0. A firmware payload begins with a 16-byte
// descriptor that the device checks:
//   bytes 0-3     magic "VFW1"
//   bytes 4-7     body length (LE32): the bytes after the descriptor
//   bytes 8-9     firmware version word (LE16): what the firmware-version register reports
//   bytes 10-11   zero
//   bytes 12-15   CRC-32 (IEEE, LE32) over descriptor bytes 0-11 followed by the body, so that
//                 a damaged version word or length is caught as well as a damaged body
// A payload without the descriptor (raw bytes, or fewer than 16 bytes) programs fine but gets a
// wrong CRC verdict.
#ifndef VDEV_FIRMWARE_IMAGE_H
#define VDEV_FIRMWARE_IMAGE_H

#include "bootloader_model.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vdev {

constexpr size_t kImageHeaderSize = 196;
constexpr size_t kImageUnlockOffset = 44;
constexpr size_t kDescriptorSize = 16;
constexpr uint8_t kImageMarker = 1;
constexpr char kFirmwareMagic[4] = {'V', 'F', 'W', '1'};

// `size` pseudo-random bytes, the same for the same seed.
Bytes seeded_bytes(size_t size, uint32_t seed);

// A firmware payload of `total_size` bytes (at least kDescriptorSize): descriptor + seeded body.
// With `bad_crc` the descriptor's CRC is off by one, so the device's verdict is wrong.
Bytes firmware_payload(uint16_t version, size_t total_size, uint32_t seed = 1, bool bad_crc = false);

// The 196-byte header for `payload`.
Bytes image_header(const Bytes &payload, const UnlockCode &unlock = kDefaultUnlockCode,
                   uint8_t marker = kImageMarker);

// Header + payload.
Bytes make_image(const Bytes &payload, const UnlockCode &unlock = kDefaultUnlockCode,
                 uint8_t marker = kImageMarker);

// A whole firmware image in one call: descriptor + seeded body of `payload_size` bytes in all.
Bytes make_firmware_image(uint16_t version, size_t payload_size, uint32_t seed = 1,
                          const UnlockCode &unlock = kDefaultUnlockCode,
                          uint8_t marker = kImageMarker, bool bad_crc = false);

}  // namespace vdev

#endif

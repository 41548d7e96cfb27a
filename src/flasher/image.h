// The firmware image file and the programming of the device's flash.
//
// An image is a 196-byte header followed by the payload, the flash contents, with no trailer and
// no length field. Header byte 0 is the format marker; bytes 44 to 59 are the unlock code.
#ifndef ROMWRITE_IMAGE_H
#define ROMWRITE_IMAGE_H

#include <stdint.h>
#include <stdio.h>

#include <hidapi.h>

#include "boot.h"

enum {
    IMAGE_HEADER_SIZE = 196,
    IMAGE_FORMAT_MARKER = 1,
    IMAGE_UNLOCK_OFFSET = 44,
    IMAGE_UNLOCK_SIZE = 16,
    CHUNK_MAX = BOOT_BLOCK_DATA_MAX,  // payload bytes read and sent in one block frame
    BLOCK_UNIT = BOOT_BLOCK_UNIT,     // block lengths and addresses count in these
};

// The block address is 16 bits wide, in BLOCK_UNIT steps; every chunk but the last is full, so
// the last chunk that can be addressed starts at block 1040 (1040 * 63 <= 0xFFFF < 1041 * 63).
// A larger payload would wrap round onto the start of the flash.
static const long long IMAGE_PAYLOAD_MAX =
    (long long)(BOOT_BLOCK_ADDRESS_MAX / (CHUNK_MAX / BLOCK_UNIT) + 1) * CHUNK_MAX;

// Opens the image for reading without blocking on a named pipe that has no writer. Null when
// it cannot be opened.
FILE *open_image(const char *path);

// Reads the header from the file's start into `header` (IMAGE_HEADER_SIZE bytes) and checks it,
// and, when the file's size is known, that the device can address the whole payload. Leaves the
// file at the payload. PASS_OK or PASS_IMAGE_FAILED.
int check_image_header(FILE *file, uint8_t *header);

// Sends the header's unlock code; nonzero when the device reports its flash unlocked.
int unlock_flash(hid_device *dev, const uint8_t *header, uint8_t *scratch);

// Unlocks the flash and sends the payload in block frames, one dot per chunk read. `scratch`
// holds BOOT_REPORT_SIZE bytes. Once the block loop has run, the file is closed and *file set
// to null. PASS_OK, PASS_DEVICE_FAILED (the device refused or went away) or PASS_IMAGE_FAILED
// (the image could not be read to its end or is too large to address).
int program_image(hid_device *dev, FILE **file, const uint8_t *header, uint8_t *scratch);

#endif

// The bootloader link: the device's register protocol carried in 4096-byte HID reports.
//
// Two kinds of frame go out. Command frames (report 1) read or write a register; block frames
// (report 2) carry flash data to BOOT_REG_FLASH_DATA. Replies come back in input reports. This is
// the only code that builds or reads report bytes and the only code that calls hid_write/hid_read.
//
// Every transaction returns an int: negative for a transport failure (hidapi's own result),
// 0 for no answer or no acceptable answer, positive for success (a byte count).
#ifndef ROMWRITE_BOOT_H
#define ROMWRITE_BOOT_H

#include <stddef.h>
#include <stdint.h>

#include <hidapi.h>

// Every report, out and in, is handled as one 4096-byte buffer with the report ID at offset 0.
enum { BOOT_REPORT_SIZE = 4096 };

enum {
    BOOT_REPORT_COMMAND = 0x01,  // register reads and writes
    BOOT_REPORT_BLOCK = 0x02,    // flash data
};

// The two bytes after the report ID that open every frame, and the byte that closes it.
enum {
    BOOT_FRAME_START_1 = 0x7F,
    BOOT_FRAME_START_2 = 0xA5,
    BOOT_FRAME_END = 0xFF,
};

enum {
    BOOT_DIR_WRITE = 0x00,
    BOOT_DIR_READ = 0x01,
};

enum {
    BOOT_REG_BOOTLOADER_VERSION = 0x00,
    BOOT_REG_FIRMWARE_VERSION = 0x02,
    BOOT_REG_UNLOCK = 0x80,
    BOOT_REG_FLASH_DATA = 0x81,
    BOOT_REG_CRC = 0x82,
};

// Frame layout: offsets shared by both kinds of frame and by replies.
enum {
    BOOT_OFFSET_DIRECTION = 3,
    BOOT_OFFSET_REGISTER = 4,
    BOOT_OFFSET_LENGTH = 5,          // 16-bit little-endian
    BOOT_OFFSET_DATA = 7,            // command frame data; reply data
    BOOT_OFFSET_BLOCK_ADDRESS = 7,   // block frame: 16-bit little-endian, in units of BOOT_BLOCK_UNIT
    BOOT_OFFSET_BLOCK_DATA = 9,
};

// The length field's high byte is always sent as 0, so a command frame carries at most 255 bytes.
enum { BOOT_COMMAND_DATA_MAX = 255 };

// Flash data travels in multiples of 64 bytes, at most 63 units per block frame.
enum {
    BOOT_BLOCK_UNIT = 64,
    BOOT_BLOCK_DATA_MAX = 4032,
    BOOT_BLOCK_ADDRESS_MAX = 0xFFFF,
};

// A reply is polled for at most BOOT_POLL_LIMIT times, with BOOT_POLL_PAUSE_MS after each read
// that did not fail: about half a second in all.
enum {
    BOOT_POLL_LIMIT = 50,
    BOOT_POLL_PAUSE_MS = 10,
};

// --- Frames: pure functions over caller-owned buffers, no I/O. ---

// The 8-bit complement of the sum of `bytes`, so that the bytes and the checksum add up to 0xFF.
uint8_t boot_checksum(const uint8_t *bytes, size_t count);

// Zero-fills `report` (BOOT_REPORT_SIZE bytes) and builds a command frame at its start. For a
// read, `len` is the number of bytes requested and `data` is not used; for a write, `len` bytes
// of `data` follow (`data` may be null when `len` is 0). Returns the frame's length, end mark
// included, or 0 when `len` exceeds BOOT_COMMAND_DATA_MAX.
size_t boot_build_command(uint8_t *report, uint8_t direction, uint8_t reg, const uint8_t *data,
                          size_t len);

// Zero-fills `report` and builds a block frame carrying `len` bytes of `data` at `block_address`.
// Returns the frame's length, or 0 when `len` exceeds BOOT_BLOCK_DATA_MAX.
size_t boot_build_block(uint8_t *report, uint8_t reg, const uint8_t *data, size_t len,
                        uint16_t block_address);

// What a reply says, read from an input report of `report_len` bytes. `carried` is how many data
// bytes the report really holds after the header, which may be fewer than its length field
// claims when the device sent a short report.
struct boot_reply {
    uint8_t reg;
    uint16_t length;
    size_t carried;
};

// Reads the echoed register and the length field. A report too short to hold them reads as
// register 0 and length 0.
struct boot_reply boot_parse_reply(const uint8_t *report, size_t report_len);

// --- Transactions on an open, non-blocking device handle. ---

// Reads a 16-bit register. Returns 2 and stores the value (data byte 0 low, byte 1 high) when the
// first reply's length field is 2 and the report carries both bytes; 0 on no or another answer;
// the negative transport result when hid_write or hid_read fails. The register echo is ignored.
int boot_read_word(hid_device *dev, uint8_t reg, uint16_t *value);

// Reads up to `len` bytes of a register into `out`. Returns the number of bytes copied (at most
// `len`, the reply's length field and what the report carried); 0 when no reply comes or the first
// reply echoes another register; the negative transport result when hid_write or hid_read fails.
int boot_read_register(hid_device *dev, uint8_t reg, uint8_t *out, size_t len);

// Writes `len` bytes (`data` may be null when `len` is 0) to a register. No reply is awaited.
// Returns hid_write's result: the number of bytes written, or -1.
int boot_write_register(hid_device *dev, uint8_t reg, const uint8_t *data, size_t len);

// Sends one block of flash data. No acknowledgement is read. Returns hid_write's result.
int boot_write_block(hid_device *dev, uint8_t reg, const uint8_t *data, size_t len,
                     uint16_t block_address);

#endif

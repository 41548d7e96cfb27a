// Arbitrary input reports offered to the two read transactions, through a stand-in for hidapi
// that plays back whatever the input says the device sent.
//
// Input layout:
//   byte 0: bit 0 selects boot_read_register (else boot_read_word), bit 1 makes hid_write fail
//   byte 1: the register
//   byte 2, 3: the length asked of boot_read_register (little-endian, may exceed what is allowed)
//   then events, one per hid_read: a kind byte, kind % 4 being
//     0: nothing waiting (hid_read returns 0)
//     1: a read error (-1)
//     2, 3: a report: two length bytes (little-endian, up to 8191) and that many bytes, padded
//           with zeros where the input runs out; hid_read copies what fits in its buffer
//   once the events run out, nothing is ever waiting.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <hidapi.h>

#include "boot.h"

struct hid_device_ {
    int unused;
};

namespace {

struct Playback {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t at = 0;
    bool write_fails = false;
    unsigned writes = 0;
    unsigned reads = 0;
};

Playback playback;

uint8_t next_byte()
{
    return playback.at < playback.size ? playback.data[playback.at++] : 0;
}

void check(bool ok)
{
    if (!ok)
        abort();
}

}  // namespace

extern "C" int hid_write(hid_device *, const unsigned char *data, size_t length)
{
    check(length == BOOT_REPORT_SIZE && data[0] == BOOT_REPORT_COMMAND);
    playback.writes++;
    return playback.write_fails ? -1 : (int)length;
}

extern "C" int hid_read(hid_device *, unsigned char *data, size_t length)
{
    playback.reads++;
    if (playback.at >= playback.size)
        return 0;
    uint8_t kind = next_byte() % 4;
    if (kind == 0)
        return 0;
    if (kind == 1)
        return -1;
    size_t report = next_byte();
    report |= (size_t)(next_byte() & 0x1F) << 8;
    size_t copied = 0;
    for (size_t i = 0; i < report; i++) {
        uint8_t b = next_byte();
        if (i < length) {
            data[i] = b;
            copied++;
        }
    }
    return (int)copied;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    playback = Playback();
    playback.data = data;
    playback.size = size;
    uint8_t mode = next_byte();
    uint8_t reg = next_byte();
    size_t len = next_byte();
    len |= (size_t)next_byte() << 8;
    playback.write_fails = (mode & 2) != 0;

    hid_device dev{};
    int result;
    if (mode & 1) {
        // A guard band on each side shows any byte written outside what the result allows.
        enum { GUARD = 64, ROOM = 512 };
        uint8_t buffer[GUARD + ROOM + GUARD];
        memset(buffer, 0xA5, sizeof buffer);
        size_t room = len < (size_t)ROOM ? len : (size_t)ROOM;
        result = boot_read_register(&dev, reg, buffer + GUARD, room);
        check(result <= (int)room && result <= BOOT_COMMAND_DATA_MAX);
        size_t written = result > 0 ? (size_t)result : 0;
        for (size_t i = 0; i < sizeof buffer; i++)
            if (i < GUARD || i >= GUARD + written)
                check(buffer[i] == 0xA5);
        if (room > BOOT_COMMAND_DATA_MAX)
            check(result == 0 && playback.writes == 0);
    } else {
        uint16_t value = 0xBEEF;
        result = boot_read_word(&dev, reg, &value);
        check(result == 2 || result <= 0);
        if (result != 2)
            check(value == 0xBEEF);
    }
    // One request, then a bounded poll window: the transaction can never spin.
    check(playback.writes <= 1);
    check(playback.reads <= BOOT_POLL_LIMIT);
    if (playback.write_fails)
        check(result < 0 || playback.writes == 0);
    return 0;
}

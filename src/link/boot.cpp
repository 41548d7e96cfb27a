// Register transactions: send one frame, and for reads poll the non-blocking handle for the reply.
#include "boot.h"

#include <string.h>
#include <time.h>

static void sleep_ms(int ms)
{
    struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

// Polls for the first non-empty input report. Returns its length, 0 when none came within the
// window, or hid_read's negative result. The buffer is zeroed before every read so that a short
// report can never be mistaken for the tail of an older one.
static int wait_for_reply(hid_device *dev, uint8_t *report)
{
    for (int poll = 0; poll < BOOT_POLL_LIMIT; poll++) {
        memset(report, 0, BOOT_REPORT_SIZE);
        int got = hid_read(dev, report, BOOT_REPORT_SIZE);
        if (got < 0)
            return got;
        // The pause follows the read that brought data too: the device is given the same
        // breathing space before the next request whatever the reply was.
        sleep_ms(BOOT_POLL_PAUSE_MS);
        if (got > 0)
            return got;
    }
    return 0;
}

// Sends a read request for `len` bytes of `reg` and waits for the reply into `report`.
static int request(hid_device *dev, uint8_t reg, size_t len, uint8_t *report)
{
    boot_build_command(report, BOOT_DIR_READ, reg, nullptr, len);
    int sent = hid_write(dev, report, BOOT_REPORT_SIZE);
    if (sent < 0)
        return sent;
    return wait_for_reply(dev, report);
}

int boot_read_word(hid_device *dev, uint8_t reg, uint16_t *value)
{
    uint8_t report[BOOT_REPORT_SIZE];
    int got = request(dev, reg, 2, report);
    if (got <= 0)
        return got;
    struct boot_reply reply = boot_parse_reply(report, (size_t)got);
    if (reply.length != 2 || reply.carried < 2)
        return 0;
    *value = (uint16_t)(report[BOOT_OFFSET_DATA] | (report[BOOT_OFFSET_DATA + 1] << 8));
    return 2;
}

int boot_read_register(hid_device *dev, uint8_t reg, uint8_t *out, size_t len)
{
    uint8_t report[BOOT_REPORT_SIZE];
    if (len > BOOT_COMMAND_DATA_MAX)
        return 0;
    int got = request(dev, reg, len, report);
    if (got <= 0)
        return got;
    struct boot_reply reply = boot_parse_reply(report, (size_t)got);
    if (reply.reg != reg)
        return 0;
    size_t count = len;
    if (reply.length < count)
        count = reply.length;
    if (reply.carried < count)
        count = reply.carried;
    memcpy(out, report + BOOT_OFFSET_DATA, count);
    return (int)count;
}

int boot_write_register(hid_device *dev, uint8_t reg, const uint8_t *data, size_t len)
{
    uint8_t report[BOOT_REPORT_SIZE];
    if (boot_build_command(report, BOOT_DIR_WRITE, reg, data, len) == 0)
        return 0;
    return hid_write(dev, report, BOOT_REPORT_SIZE);
}

int boot_write_block(hid_device *dev, uint8_t reg, const uint8_t *data, size_t len,
                     uint16_t block_address)
{
    uint8_t report[BOOT_REPORT_SIZE];
    if (boot_build_block(report, reg, data, len, block_address) == 0)
        return 0;
    return hid_write(dev, report, BOOT_REPORT_SIZE);
}

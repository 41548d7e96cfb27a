// Frame building and reply reading: values in, bytes out, and back. No device is needed here.
#include "boot.h"

#include <string.h>

uint8_t boot_checksum(const uint8_t *bytes, size_t count)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum = (uint8_t)(sum + bytes[i]);
    return (uint8_t)(0xFF - sum);
}

static void put_le16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)(value & 0xFF);
    at[1] = (uint8_t)(value >> 8);
}

static size_t put_header(uint8_t *report, uint8_t report_id, uint8_t direction, uint8_t reg,
                         uint16_t length)
{
    memset(report, 0, BOOT_REPORT_SIZE);
    report[0] = report_id;
    report[1] = BOOT_FRAME_START_1;
    report[2] = BOOT_FRAME_START_2;
    report[BOOT_OFFSET_DIRECTION] = direction;
    report[BOOT_OFFSET_REGISTER] = reg;
    put_le16(report + BOOT_OFFSET_LENGTH, length);
    return BOOT_OFFSET_LENGTH + 2;
}

// Closes a frame whose last covered byte is at `end - 1`: checksum over the direction byte
// onwards, then the end mark. Returns the whole frame's length.
static size_t put_trailer(uint8_t *report, size_t end)
{
    report[end] = boot_checksum(report + BOOT_OFFSET_DIRECTION, end - BOOT_OFFSET_DIRECTION);
    report[end + 1] = BOOT_FRAME_END;
    return end + 2;
}

size_t boot_build_command(uint8_t *report, uint8_t direction, uint8_t reg, const uint8_t *data,
                          size_t len)
{
    if (len > BOOT_COMMAND_DATA_MAX)
        return 0;
    size_t end = put_header(report, BOOT_REPORT_COMMAND, direction, reg, (uint16_t)len);
    if (direction == BOOT_DIR_WRITE && len > 0) {
        memcpy(report + end, data, len);
        end += len;
    }
    return put_trailer(report, end);
}

size_t boot_build_block(uint8_t *report, uint8_t reg, const uint8_t *data, size_t len,
                        uint16_t block_address)
{
    if (len > BOOT_BLOCK_DATA_MAX)
        return 0;
    // The length field counts the two address bytes as well as the data.
    size_t end = put_header(report, BOOT_REPORT_BLOCK, BOOT_DIR_WRITE, reg, (uint16_t)(len + 2));
    put_le16(report + end, block_address);
    end += 2;
    if (len > 0) {
        memcpy(report + end, data, len);
        end += len;
    }
    return put_trailer(report, end);
}

struct boot_reply boot_parse_reply(const uint8_t *report, size_t report_len)
{
    struct boot_reply reply = {0, 0, 0};
    if (report_len < BOOT_OFFSET_DATA)
        return reply;
    reply.reg = report[BOOT_OFFSET_REGISTER];
    reply.length = (uint16_t)(report[BOOT_OFFSET_LENGTH] | (report[BOOT_OFFSET_LENGTH + 1] << 8));
    reply.carried = report_len - BOOT_OFFSET_DATA;
    return reply;
}

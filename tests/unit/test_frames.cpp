// The frames the link builds, byte for byte, against frames worked out by hand from the protocol.
#include "boot.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes repeat(size_t count, uint8_t value) { return Bytes(count, value); }

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string hex_dump(const uint8_t *bytes, size_t count)
{
    std::string out;
    char cell[4];
    for (size_t i = 0; i < count; i++) {
        std::snprintf(cell, sizeof cell, "%02X ", bytes[i]);
        out += cell;
    }
    return out;
}

// The first difference between the built report and the expected frame followed by zeros up to
// the end of the report, or an empty string when they match.
std::string first_difference(const uint8_t *report, const Bytes &frame)
{
    for (size_t i = 0; i < BOOT_REPORT_SIZE; i++) {
        uint8_t want = i < frame.size() ? frame[i] : 0;
        if (report[i] != want) {
            size_t from = i < 8 ? 0 : i - 8;
            char where[96];
            std::snprintf(where, sizeof where, "offset %zu: got %02X, want %02X; around it: ", i,
                          report[i], want);
            return where + hex_dump(report + from, 16);
        }
    }
    return "";
}

const Bytes kUnlockCode = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                           0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

uint8_t unlock_checksum()
{
    unsigned sum = 0;
    for (uint8_t k : kUnlockCode)
        sum += k;
    return (uint8_t)(0x6F - sum);
}

struct FrameCase {
    const char *name;
    bool block;
    uint8_t direction;
    uint8_t reg;
    Bytes data;
    uint16_t address;
    Bytes expected;
};

std::vector<FrameCase> worked_frames()
{
    return {
        {"read bootloader version", false, BOOT_DIR_READ, BOOT_REG_BOOTLOADER_VERSION, repeat(2, 0), 0,
         {0x01, 0x7F, 0xA5, 0x01, 0x00, 0x02, 0x00, 0xFC, 0xFF}},
        {"read firmware version", false, BOOT_DIR_READ, BOOT_REG_FIRMWARE_VERSION, repeat(2, 0), 0,
         {0x01, 0x7F, 0xA5, 0x01, 0x02, 0x02, 0x00, 0xFA, 0xFF}},
        {"CRC trigger and presence probe", false, BOOT_DIR_WRITE, BOOT_REG_CRC, {}, 0,
         {0x01, 0x7F, 0xA5, 0x00, 0x82, 0x00, 0x00, 0x7D, 0xFF}},
        {"read CRC verdict", false, BOOT_DIR_READ, BOOT_REG_CRC, repeat(1, 0), 0,
         {0x01, 0x7F, 0xA5, 0x01, 0x82, 0x01, 0x00, 0x7B, 0xFF}},
        {"read unlock status", false, BOOT_DIR_READ, BOOT_REG_UNLOCK, repeat(1, 0), 0,
         {0x01, 0x7F, 0xA5, 0x01, 0x80, 0x01, 0x00, 0x7D, 0xFF}},
        {"unlock write", false, BOOT_DIR_WRITE, BOOT_REG_UNLOCK, kUnlockCode, 0,
         concat({{0x01, 0x7F, 0xA5, 0x00, 0x80, 0x10, 0x00}, kUnlockCode, {unlock_checksum(), 0xFF}})},
        {"first block, 64 zeros at address 0", true, BOOT_DIR_WRITE, BOOT_REG_FLASH_DATA, repeat(64, 0x00), 0,
         concat({{0x02, 0x7F, 0xA5, 0x00, 0x81, 0x42, 0x00, 0x00, 0x00}, repeat(64, 0x00), {0x3C, 0xFF}})},
        {"64 bytes of 0xFF at address 63", true, BOOT_DIR_WRITE, BOOT_REG_FLASH_DATA, repeat(64, 0xFF), 63,
         concat({{0x02, 0x7F, 0xA5, 0x00, 0x81, 0x42, 0x00, 0x3F, 0x00}, repeat(64, 0xFF), {0x3D, 0xFF}})},
        {"full block of zeros at address 0", true, BOOT_DIR_WRITE, BOOT_REG_FLASH_DATA, repeat(4032, 0x00), 0,
         concat({{0x02, 0x7F, 0xA5, 0x00, 0x81, 0xC2, 0x0F, 0x00, 0x00}, repeat(4032, 0x00), {0xAD, 0xFF}})},
    };
}

// A read request is built from the number of bytes requested; the data pointer is not used.
size_t build(const FrameCase &c, uint8_t *report)
{
    if (c.block)
        return boot_build_block(report, c.reg, c.data.data(), c.data.size(), c.address);
    return boot_build_command(report, c.direction, c.reg, c.direction == BOOT_DIR_WRITE ? c.data.data() : nullptr,
                              c.data.size());
}

TEST(Frame, MatchesWorkedFramesByteForByte)
{
    for (const FrameCase &c : worked_frames()) {
        SCOPED_TRACE(c.name);
        uint8_t report[BOOT_REPORT_SIZE];
        memset(report, 0xAA, sizeof report);  // whatever is not written must come out zero
        EXPECT_EQ(build(c, report), c.expected.size());
        EXPECT_EQ(first_difference(report, c.expected), "");
    }
}

TEST(Frame, CoveredBytesAddUpToFF)
{
    for (const FrameCase &c : worked_frames()) {
        SCOPED_TRACE(c.name);
        uint8_t report[BOOT_REPORT_SIZE];
        size_t length = build(c, report);
        unsigned sum = 0;
        for (size_t i = BOOT_OFFSET_DIRECTION; i < length - 1; i++)  // through the checksum
            sum += report[i];
        EXPECT_EQ(sum % 256, 0xFFu);
    }
}

TEST(Frame, ChecksumFollowsLengthAndData)
{
    uint8_t data[3] = {0x10, 0x20, 0x30};
    uint8_t before[BOOT_REPORT_SIZE];
    uint8_t after[BOOT_REPORT_SIZE];
    boot_build_command(before, BOOT_DIR_WRITE, 0x80, data, 3);
    data[1]++;
    boot_build_command(after, BOOT_DIR_WRITE, 0x80, data, 3);
    EXPECT_EQ((uint8_t)(before[10] - 1), after[10]);  // one more in the data, one less in the checksum

    // The address bytes of a block are covered too.
    boot_build_block(before, BOOT_REG_FLASH_DATA, data, 0, 1);
    boot_build_block(after, BOOT_REG_FLASH_DATA, data, 0, 2);
    EXPECT_EQ((uint8_t)(before[9] - 1), after[9]);
}

TEST(Frame, RefusesDataThatDoesNotFit)
{
    static uint8_t data[BOOT_REPORT_SIZE];
    uint8_t report[BOOT_REPORT_SIZE];
    EXPECT_EQ(boot_build_command(report, BOOT_DIR_WRITE, 0x80, data, 256), 0u);
    EXPECT_EQ(boot_build_command(report, BOOT_DIR_WRITE, 0x80, data, 255), 255u + 9);
    EXPECT_EQ(boot_build_block(report, BOOT_REG_FLASH_DATA, data, 4033, 0), 0u);
    EXPECT_EQ(boot_build_block(report, BOOT_REG_FLASH_DATA, data, 4032, 0xFFFF), 4043u);
    EXPECT_EQ(report[7], 0xFF);
    EXPECT_EQ(report[8], 0xFF);
}

TEST(Frame, ParsesReplyHeader)
{
    struct Case {
        const char *name;
        Bytes report;
        uint8_t reg;
        uint16_t length;
        size_t carried;
    } cases[] = {
        {"word reply", {0x01, 0x7F, 0xA5, 0x01, 0x02, 0x02, 0x00, 0x34, 0x12, 0x00, 0xFF}, 0x02, 2, 4},
        {"long length field", {0x01, 0x7F, 0xA5, 0x01, 0x80, 0xFF, 0xFF}, 0x80, 0xFFFF, 0},
        {"too short for a header", {0x01, 0x7F, 0xA5, 0x01, 0x80, 0x01}, 0, 0, 0},
        {"empty", {}, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        boot_reply reply = boot_parse_reply(c.report.data(), c.report.size());
        EXPECT_EQ(reply.reg, c.reg);
        EXPECT_EQ(reply.length, c.length);
        EXPECT_EQ(reply.carried, c.carried);
    }
}

}  // namespace

// The four link transactions against the virtual device, in process: what they accept, what they
// copy, how long they wait, and what they hand to hidapi.
#include "boot.h"
#include "vdev.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vdev::Bytes;

// An input report as a device would send it: report ID 1, echoed register, length field, data.
// `size` cuts the report short when it is smaller than the frame.
Bytes reply(uint8_t reg, uint16_t length, const Bytes &data, size_t size = BOOT_REPORT_SIZE)
{
    Bytes r(BOOT_REPORT_SIZE, 0);
    r[0] = 1;
    r[1] = 0x7F;
    r[2] = 0xA5;
    r[3] = 1;
    r[4] = reg;
    r[5] = (uint8_t)(length & 0xFF);
    r[6] = (uint8_t)(length >> 8);
    std::copy(data.begin(), data.end(), r.begin() + 7);
    r.resize(size);
    return r;
}

class Transaction : public ::testing::Test {
protected:
    void SetUp() override { fresh(vdev::DevicePlan()); }
    void TearDown() override
    {
        if (dev)
            hid_close(dev);
        dev = nullptr;
        vdev::reset();
    }

    // A new world with one device, opened the way the program opens it.
    void fresh(const vdev::DevicePlan &plan)
    {
        if (dev)
            hid_close(dev);
        vdev::reset();
        number = vdev::plug(plan);
        dev = hid_open(0x047A, 0xF000, nullptr);
        ASSERT_NE(dev, nullptr);
        ASSERT_EQ(hid_set_nonblocking(dev, 1), 0);
    }

    // The device stays silent; only injected reports come back.
    void mute()
    {
        vdev::ReplyFault f;
        f.kind = vdev::ReplyKind::NoReply;
        vdev::add_reply_fault(number, f);
    }

    unsigned reads() { return vdev::calls(number).reads; }

    int number = 0;
    hid_device *dev = nullptr;
};

struct RegisterCase {
    const char *name;
    size_t request;             // bytes asked for
    std::vector<Bytes> queued;  // reports waiting before the request
    int result;
    Bytes copied;               // the bytes expected at the start of `out`
    size_t left_queued;         // reports still unread afterwards
};

TEST_F(Transaction, ReadRegisterTakesOnlyWhatTheFirstReplyCarries)
{
    const RegisterCase cases[] = {
        {"exact reply", 1, {reply(0x82, 1, {0x01})}, 1, {0x01}, 0},
        {"length 5 to a 1-byte request", 1, {reply(0x82, 5, {0x01, 2, 3, 4, 5})}, 1, {0x01}, 0},
        {"length 0", 1, {reply(0x82, 0, {})}, 0, {}, 0},
        {"wrong echo, right answer behind it", 1,
         {reply(0x80, 1, {0x01}), reply(0x82, 1, {0x01})}, 0, {}, 1},
        {"report shorter than the header", 1, {reply(0x82, 1, {0x01}, 5)}, 0, {}, 0},
        {"claims 4 bytes, carries 1", 4, {reply(0x82, 4, {0x11, 0x22, 0x33, 0x44}, 8)}, 1, {0x11}, 0},
        {"claims 0xFFFF bytes to a 3-byte request", 3, {reply(0x82, 0xFFFF, {7, 8, 9, 10})}, 3,
         {7, 8, 9}, 0},
    };
    for (const RegisterCase &c : cases) {
        SCOPED_TRACE(c.name);
        fresh(vdev::DevicePlan());
        mute();
        for (const Bytes &r : c.queued)
            vdev::inject_input(number, r);

        uint8_t out[16];
        std::memset(out, 0xAA, sizeof out);
        EXPECT_EQ(boot_read_register(dev, 0x82, out, c.request), c.result);
        for (size_t i = 0; i < sizeof out; i++)
            EXPECT_EQ(out[i], i < c.copied.size() ? c.copied[i] : 0xAA) << "out[" << i << "]";
        EXPECT_EQ(reads(), 1u) << "the first reply decides; no second read";
        EXPECT_EQ(vdev::pending_input(number), c.left_queued);
    }
}

struct WordCase {
    const char *name;
    Bytes queued;
    int result;
    uint16_t value;  // stays 0x5A5A when nothing is stored
};

TEST_F(Transaction, ReadWordWantsLengthTwoAndIgnoresTheEcho)
{
    const WordCase cases[] = {
        {"echo of the register asked", reply(0x02, 2, {0x02, 0x01}), 2, 0x0102},
        {"echo of another register", reply(0x55, 2, {0x00, 0x0A}), 2, 0x0A00},
        {"length 1", reply(0x02, 1, {0x02, 0x01}), 0, 0x5A5A},
        {"length 3", reply(0x02, 3, {0x02, 0x01, 0x00}), 0, 0x5A5A},
        {"claims 2 bytes, carries 1", reply(0x02, 2, {0x02, 0x01}, 8), 0, 0x5A5A},
        {"report shorter than the header", reply(0x02, 2, {0x02, 0x01}, 6), 0, 0x5A5A},
    };
    mute();
    for (const WordCase &c : cases) {
        SCOPED_TRACE(c.name);
        vdev::inject_input(number, c.queued);
        uint16_t value = 0x5A5A;
        EXPECT_EQ(boot_read_word(dev, BOOT_REG_FIRMWARE_VERSION, &value), c.result);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(vdev::pending_input(number), 0u);
    }
}

TEST_F(Transaction, ReplyWindowIsFiftyPolls)
{
    // 30 empty polls, then the device's own answer: accepted on the 31st read.
    vdev::DevicePlan slow;
    slow.config.empty_polls = 30;
    slow.config.bootloader_version = 0x0207;
    fresh(slow);
    uint16_t value = 0;
    EXPECT_EQ(boot_read_word(dev, BOOT_REG_BOOTLOADER_VERSION, &value), 2);
    EXPECT_EQ(value, 0x0207);
    EXPECT_EQ(reads(), 31u);

    // Silence: 50 reads, then 0, for both read transactions.
    mute();
    EXPECT_EQ(boot_read_word(dev, BOOT_REG_BOOTLOADER_VERSION, &value), 0);
    EXPECT_EQ(reads(), 31u + 50u);
    uint8_t out = 0xAA;
    EXPECT_EQ(boot_read_register(dev, BOOT_REG_CRC, &out, 1), 0);
    EXPECT_EQ(reads(), 31u + 100u);
    EXPECT_EQ(out, 0xAA);
}

// Each transaction run once on the fixture's handle.
struct Op {
    const char *name;
    int (*run)(hid_device *dev);
    bool reads;  // waits for a reply
};

const uint8_t kBlock[4032] = {0x33};

const Op kOps[] = {
    {"read word",
     [](hid_device *d) {
         uint16_t v = 0;
         return boot_read_word(d, BOOT_REG_BOOTLOADER_VERSION, &v);
     },
     true},
    {"read register",
     [](hid_device *d) {
         uint8_t b = 0;
         return boot_read_register(d, BOOT_REG_UNLOCK, &b, 1);
     },
     true},
    {"write register",
     [](hid_device *d) {
         return boot_write_register(d, BOOT_REG_UNLOCK, vdev::kDefaultUnlockCode.data(), 16);
     },
     false},
    {"data-less write", [](hid_device *d) { return boot_write_register(d, BOOT_REG_CRC, nullptr, 0); },
     false},
    {"write block",
     [](hid_device *d) { return boot_write_block(d, BOOT_REG_FLASH_DATA, kBlock, 4032, 63); }, false},
    {"write short block",
     [](hid_device *d) { return boot_write_block(d, BOOT_REG_FLASH_DATA, kBlock, 64, 0); }, false},
};

TEST_F(Transaction, TransportFailuresComeBackNegative)
{
    for (const Op &op : kOps) {
        SCOPED_TRACE(op.name);
        fresh(vdev::DevicePlan());

        vdev::TransportFault wf;
        wf.kind = vdev::TransportKind::WriteFail;
        wf.when.at = 1;
        vdev::add_transport_fault(number, wf);
        EXPECT_LT(op.run(dev), 0);
        EXPECT_EQ(reads(), 0u) << "no reply is awaited after a failed write";
        EXPECT_EQ(vdev::model(number)->counters().frames, 0u);

        if (op.reads) {
            vdev::TransportFault rf;
            rf.kind = vdev::TransportKind::ReadFail;
            rf.when.at = 1;
            vdev::add_transport_fault(number, rf);
            EXPECT_LT(op.run(dev), 0);
            EXPECT_EQ(reads(), 1u) << "a failed read ends the transaction at once";
        }

        // Once unplugged, every transaction fails on the stale handle.
        vdev::unplug(number);
        EXPECT_LT(op.run(dev), 0);
    }
}

TEST_F(Transaction, EveryFrameGoesOutAsAWholeWellFormedReport)
{
    // Unlock first so that the block frames are stored rather than refused.
    ASSERT_EQ(boot_write_register(dev, BOOT_REG_UNLOCK, vdev::kDefaultUnlockCode.data(), 16), 4096);
    for (const Op &op : kOps) {
        SCOPED_TRACE(op.name);
        int got = op.run(dev);
        EXPECT_GE(got, op.reads ? 0 : 4096);
    }
    const auto &frames = vdev::model(number)->frames();
    ASSERT_EQ(frames.size(), 1 + std::size(kOps));
    for (const vdev::FrameRecord &f : frames) {
        SCOPED_TRACE(vdev::describe(f));
        EXPECT_EQ(f.size, 4096u);
        EXPECT_EQ(f.violation, "");
    }
    EXPECT_EQ(frames[5].outcome, "stored");
    EXPECT_EQ(frames[5].block_address, 63);
    EXPECT_EQ(frames[5].block_len, 4032u);
}

}  // namespace

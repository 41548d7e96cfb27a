// Programming mode: what the device receives for payloads of every shape, what the operator sees,
// and how a pass that fails on the device is retried.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <numeric>
#include <thread>

#include "e2e_support.h"
#include "firmware_image.h"

namespace e2e {
namespace {

const std::string kCheck = "\nChecking CRC...  \n";
const std::string kUnlocked = "\nUnlocking FLASH...  FLASH unlocked\nProgramming FLASH";

struct Expected {
    unsigned address;
    size_t data;
};

unsigned byte_sum(const Bytes &b, size_t from, size_t len) {
    return std::accumulate(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len), 0u) & 0xFF;
}

std::string version_text(const Bytes &flash) {
    // The device reports the word at flash offset 8; erased flash reads 0xFFFF.
    unsigned lo = flash.size() > 8 ? flash[8] : 0xFF, hi = flash.size() > 9 ? flash[9] : 0xFF;
    return std::to_string(hi) + "." + std::to_string(lo);
}

struct PayloadCase {
    const char *name;
    CASE_NAMED(PayloadCase)
    size_t size;
    size_t dots;
    std::vector<Expected> blocks;
};

class PayloadSize : public Romwrite, public ::testing::WithParamInterface<PayloadCase> {};

TEST_P(PayloadSize, SendsChunksAtTheirAddressesPaddedWithZeros) {
    const PayloadCase &c = GetParam();
    Bytes payload = seeded(c.size, static_cast<uint32_t>(c.size));
    std::string image = write_image("fw.bin", payload);
    PtySession &s = start("device flash=empty\n", {image});
    EXPECT_SCREEN(s, kDisconnect, kPass);
    ASSERT_TRUE(s.send(" "));
    expect_clean_exit();

    // The flash as the chunks should have left it: each chunk rounded up with zeros.
    Bytes expected_flash;
    for (size_t at = 0; at < c.size; at += 4032) {
        Bytes chunk = padded(payload, at, std::min<size_t>(4032, c.size - at));
        expected_flash.insert(expected_flash.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(flash(), expected_flash);

    std::vector<Block> sent = blocks();
    ASSERT_EQ(sent.size(), c.blocks.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(sent[i].address, c.blocks[i].address);
        EXPECT_EQ(sent[i].data, c.blocks[i].data);
        size_t from = c.blocks[i].address * 64;
        EXPECT_EQ(sent[i].sum, byte_sum(payload, from, std::min<size_t>(4032, c.size - from)));
        EXPECT_EQ(sent[i].outcome, "stored");
    }
    EXPECT_TRUE(log_matching("violation=").empty()) << "every frame well formed";

    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 3u);
    EXPECT_EQ(sc[2], default_identity() + versions("1.3", "FLASH EMPTY") + kUnlocked + std::string(c.dots, '.') +
                         kProgrammed + kCheck + kWrongCrcBox + new_version_box(version_text(expected_flash)) +
                         kDisconnect);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, PayloadSize,
    ::testing::Values(PayloadCase{"Empty", 0, 1, {}}, PayloadCase{"OneByte", 1, 1, {{0, 64}}},
                      PayloadCase{"Bytes4000", 4000, 2, {{0, 4032}}},
                      PayloadCase{"TwoWholeChunks", 8064, 3, {{0, 4032}, {63, 4032}}},
                      PayloadCase{"Bytes10000", 10000, 3, {{0, 4032}, {63, 4032}, {126, 1984}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Romwrite, OneMegabyteFirmwareEndsInCrcOkAndItsVersion) {
    Bytes payload = firmware(0x0A00, 1048576 + 300);
    std::string image = write_image("fw.bin", payload);
    PtySession &s = start("device flash=firmware:0x0102:8192\n", {image});
    EXPECT_SCREEN(s, kDisconnect, kPass);
    ASSERT_TRUE(s.send("x"));
    expect_clean_exit();

    EXPECT_EQ(flash(), padded(payload, 0, payload.size()));
    std::vector<Block> sent = blocks();
    ASSERT_EQ(sent.size(), 261u);
    for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(sent[i].address, 63 * i) << "block " << i;

    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 3u);
    EXPECT_EQ(sc[2], default_identity() + versions("1.3", "1.2") + kUnlocked + std::string(261, '.') + kProgrammed +
                         kCheck + kCrcOkBox + new_version_box("10.0") + kDisconnect);
    std::string raw = s.raw();
    EXPECT_NE(raw.find(kGreen + crlf(kCrcOkBox) + kNormal), std::string::npos);
    EXPECT_NE(raw.find(kGreen + crlf(new_version_box("10.0")) + kNormal), std::string::npos);
    EXPECT_EQ(raw.find(kRed), std::string::npos);
}

// The device refuses or ignores the unlock: nothing is written, and the next pass tries again.
struct UnlockCase {
    const char *name;
    CASE_NAMED(UnlockCase)
    const char *fault;
};

class UnlockRefused : public Romwrite, public ::testing::WithParamInterface<UnlockCase> {};

TEST_P(UnlockRefused, SendsNoBlockAndRetriesOnTheNextPass) {
    Bytes payload = firmware(0x0203, 10000);
    std::string image = write_image("fw.bin", payload);
    PtySession &s = start(std::string("device flash=empty\n") + GetParam().fault + "\n", {image});
    EXPECT_SCREEN(s, "Unable to unlock FLASH\n", kPass);
    EXPECT_SCREEN(s, kBanner, kPass);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    ASSERT_TRUE(s.send("x"));
    expect_clean_exit();

    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 5u);
    EXPECT_EQ(sc[2], default_identity() + versions("1.3", "FLASH EMPTY") + "\nUnlocking FLASH...  Unable to unlock FLASH\n" +
                         kDisconnect);
    EXPECT_EQ(sc[4], default_identity() + versions("1.3", "FLASH EMPTY") + kUnlocked + "..." + kProgrammed + kCheck +
                         kCrcOkBox + new_version_box("2.3") + kDisconnect);
    // Every block and every CRC write belongs to the second pass.
    std::vector<std::string> lines = log();
    int unlock_writes = 0;
    for (const auto &l : lines) {
        if (l.find(" dir=write reg=0x80 ") != std::string::npos) ++unlock_writes;
        if (l.find(" dir=block ") != std::string::npos || l.find(" reg=0x82 ") != std::string::npos) {
            EXPECT_EQ(unlock_writes, 2) << l;
        }
    }
    EXPECT_EQ(blocks().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Faults, UnlockRefused,
                         ::testing::Values(UnlockCase{"AnsweredZero", "fault reply-byte reg=0x80 value=0 at=1"},
                                           UnlockCase{"NotAnswered", "fault no-reply reg=0x80 at=1"}),
                         [](const auto &info) { return std::string(info.param.name); });

// A block that does not reach the device ends the pass with the programming error; the next pass
// reads the image again from its start and sends every block again from address 0.
struct BlockFailureCase {
    const char *name;
    CASE_NAMED(BlockFailureCase)
    std::string scenario;
    size_t dots_before_error;
    std::vector<unsigned> addresses;  // blocks the device stored, both passes
};

class BlockFailure : public Romwrite, public ::testing::WithParamInterface<BlockFailureCase> {};

TEST_P(BlockFailure, ReportsTheErrorAndStartsAgainFromAddressZero) {
    const BlockFailureCase &c = GetParam();
    Bytes payload = firmware(0x0304, 10000);
    std::string image = write_image("fw.bin", payload);
    PtySession &s = start(c.scenario, {image});
    EXPECT_SCREEN(s, kProgrammingError, kPass);
    EXPECT_SCREEN(s, kBanner, kPass);
    EXPECT_SCREEN(s, "CRC OK", kPass);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    ASSERT_TRUE(s.send("x"));
    expect_clean_exit();

    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 5u);
    EXPECT_EQ(sc[2], default_identity() + versions("1.3", "FLASH EMPTY") + kUnlocked +
                         std::string(c.dots_before_error, '.') + kProgrammingError + kDisconnect);
    // The first block of the failed pass stayed in the flash, so the retry sees its version.
    EXPECT_EQ(sc[4], default_identity() + versions("1.3", "3.4") + kUnlocked + "..." + kProgrammed + kCheck +
                         kCrcOkBox + new_version_box("3.4") + kDisconnect);

    std::vector<unsigned> addresses;
    for (const Block &b : blocks()) addresses.push_back(b.address);
    EXPECT_EQ(addresses, c.addresses);
    // No presence probe after the failed pass: every CRC-register write follows the last block.
    std::vector<std::string> lines = log();
    size_t last_block = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(" dir=block ") != std::string::npos) last_block = i;
    for (size_t i = 0; i < last_block; ++i) EXPECT_EQ(lines[i].find(" reg=0x82 "), std::string::npos) << lines[i];
    EXPECT_EQ(flash(), padded(payload, 0, payload.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BlockFailure,
    ::testing::Values(BlockFailureCase{"SecondBlockWriteFails", "device flash=empty\nfault block-fail at=2\n", 1,
                                       {0, 0, 63, 126}},
                      BlockFailureCase{"DeviceVanishesAfterTwoBlocks",
                                       "device flash=empty unplug-blocks=2\ndevice again arrive-opens=2\n", 2,
                                       {0, 63, 0, 63, 126}}),
    [](const auto &info) { return std::string(info.param.name); });

// Block addresses are 16 bits wide. A payload that reaches exactly to the last addressable chunk
// goes through; one byte more must never wrap round onto the start of the flash, even from a
// pipe whose size nobody can know in advance.
constexpr size_t kPayloadLimit = 1041 * 4032;  // 4,197,312

// Feeds a named pipe from a thread, holding it open for writing from before the program starts.
class PipeFeeder {
public:
    PipeFeeder(const std::string &path, Bytes bytes) : bytes_(std::move(bytes)) {
        mkfifo(path.c_str(), 0600);
        fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        thread_ = std::thread([this] { feed(); });
    }
    ~PipeFeeder() {
        stop_ = true;
        thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

private:
    void feed() {
        size_t done = 0;
        while (!stop_ && done < bytes_.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = write(fd_, bytes_.data() + done, bytes_.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
            else if (errno != EAGAIN && errno != EINTR) break;
        }
        // All written: the reader sees the end of the file once it has drained the pipe.
        close(fd_);
        fd_ = -1;
    }
    Bytes bytes_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct LimitCase {
    const char *name;
    CASE_NAMED(LimitCase)
    bool pipe;
    size_t size;
    bool programmed;  // else refused at the first chunk beyond the limit
};

class AddressLimit : public Romwrite, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(AddressLimit, NeverSendsABlockBeyondTheLastAddress) {
    const LimitCase &c = GetParam();
    Bytes payload = seeded(c.size, 5);
    std::unique_ptr<PipeFeeder> feeder;
    std::string image;
    if (c.pipe) {
        image = dir_.file("fw.fifo");
        Bytes file = vdev::make_image(payload);
        feeder = std::make_unique<PipeFeeder>(image, file);
        ASSERT_TRUE(feeder->ok());
    } else {
        image = write_image("fw.bin", payload);
    }
    PtySession &s = start("device flash=empty\n", {image});
    EXPECT_SCREEN(s, kDisconnect, 20000);
    ASSERT_TRUE(s.send("x"));
    expect_clean_exit();

    std::vector<Block> sent = blocks();
    ASSERT_EQ(sent.size(), 1041u);
    for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(sent[i].address, 63 * i) << "block " << i;
    EXPECT_EQ(sent.back().address, 0xFFF0u);
    Bytes stored = flash();
    ASSERT_EQ(stored.size(), kPayloadLimit);
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), payload.begin())) << "the flash holds the payload";

    std::string ending = c.programmed
                             ? kProgrammed + kCheck + kWrongCrcBox + new_version_box(version_text(payload))
                             : "  Image payload is too large: the device can address at most 4197312 bytes.\n";
    // A payload of whole chunks ends with a read that finds nothing, which gets its dot too; the
    // refused chunk gets none.
    size_t dots = c.programmed ? 1042 : 1041;
    std::string text = s.plain();
    EXPECT_NE(text.find("Programming FLASH" + std::string(dots, '.') + ending + kDisconnect), std::string::npos)
        << s.pending();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, AddressLimit,
    ::testing::Values(
        LimitCase{"FileAtTheLimit", false, kPayloadLimit, true}, LimitCase{"PipeAtTheLimit", true, kPayloadLimit, true},
        LimitCase{"PipeOneByteBeyond", true, kPayloadLimit + 1, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

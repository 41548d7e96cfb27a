// The virtual device, as far as the other tests lean on it: its CRC verdict and version follow
// what really landed in the flash, it guards the flash with the unlock code, it catches malformed
// frames, and each scripted fault does what it says.
#include "boot.h"
#include "firmware_image.h"
#include "vdev.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using vdev::Bytes;

// Talks to a bare model with frames built by the link's own frame builders.
struct Bench {
    vdev::BootloaderModel model;

    explicit Bench(vdev::Config config = vdev::Config()) : model(std::move(config)) {}

    std::vector<Bytes> command(uint8_t dir, uint8_t reg, const Bytes &data = {}, size_t len = 0)
    {
        uint8_t r[BOOT_REPORT_SIZE];
        boot_build_command(r, dir, reg, data.data(), dir == BOOT_DIR_WRITE ? data.size() : len);
        return model.receive(r, sizeof r);
    }
    // The first data byte of the reply to a 1-byte read, or -1 without a reply.
    int read_byte(uint8_t reg)
    {
        auto replies = command(BOOT_DIR_READ, reg, {}, 1);
        return replies.empty() ? -1 : replies[0][7];
    }
    uint16_t read_word(uint8_t reg)
    {
        auto replies = command(BOOT_DIR_READ, reg, {}, 2);
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? 0 : (uint16_t)(replies[0][7] | (replies[0][8] << 8));
    }
    void unlock(const vdev::UnlockCode &code = vdev::kDefaultUnlockCode)
    {
        command(BOOT_DIR_WRITE, BOOT_REG_UNLOCK, Bytes(code.begin(), code.end()));
    }
    int verdict()
    {
        command(BOOT_DIR_WRITE, BOOT_REG_CRC);
        return read_byte(BOOT_REG_CRC);
    }
    // Sends payload bytes [offset, offset + 4032) as the program does: zero-padded to a
    // multiple of 64, at block address `address`.
    void block(const Bytes &payload, size_t offset, uint16_t address)
    {
        uint8_t data[BOOT_BLOCK_DATA_MAX] = {};
        size_t n = std::min<size_t>(BOOT_BLOCK_DATA_MAX, payload.size() - offset);
        std::memcpy(data, payload.data() + offset, n);
        uint8_t r[BOOT_REPORT_SIZE];
        boot_build_block(r, BOOT_REG_FLASH_DATA, data, (n + 63) & ~size_t(63), address);
        model.receive(r, sizeof r);
    }
};

// A 10000-byte payload goes out as chunks at offsets 0, 4032 and 8064 (addresses 0, 63, 126).
struct Send {
    size_t offset;
    uint16_t address;
};
const std::vector<Send> kInOrder = {{0, 0}, {4032, 63}, {8064, 126}};

struct VerdictCase {
    const char *name;
    Bytes payload;
    std::vector<Send> sends;
    int corrupt_at;  // payload offset flipped on the wire, -1 for none
    int verdict;
};

TEST(Vdev, CrcVerdictFollowsTheFlashContents)
{
    const Bytes good = vdev::firmware_payload(0x0102, 10000, 7);
    const VerdictCase cases[] = {
        {"whole image in order", good, kInOrder, -1, 1},
        {"whole image out of order", good, {{8064, 126}, {0, 0}, {4032, 63}}, -1, 1},
        {"middle block lost", good, {{0, 0}, {8064, 126}}, -1, 0},
        {"last block lost", good, {{0, 0}, {4032, 63}}, -1, 0},
        {"block repeated", good, {{0, 0}, {4032, 63}, {4032, 63}, {8064, 126}}, -1, 0},
        {"block one unit off", good, {{0, 0}, {4032, 64}, {8064, 126}}, -1, 0},
        {"byte corrupted", good, kInOrder, 5000, 0},
        {"descriptor corrupted", good, kInOrder, 9, 0},
        {"descriptor with a wrong CRC", vdev::firmware_payload(0x0102, 10000, 7, true), kInOrder, -1, 0},
        {"payload without a descriptor", vdev::seeded_bytes(10000, 7), kInOrder, -1, 0},
        {"1-byte payload", Bytes{0x56}, {{0, 0}}, -1, 0},
    };
    for (const VerdictCase &c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.unlock();
        ASSERT_EQ(b.read_byte(BOOT_REG_UNLOCK), 1);
        Bytes wire = c.payload;
        if (c.corrupt_at >= 0)
            wire[(size_t)c.corrupt_at] ^= 0x01;
        for (const Send &s : c.sends)
            b.block(wire, s.offset, s.address);
        EXPECT_EQ(b.verdict(), c.verdict);
    }
}

TEST(Vdev, VerdictIsOnlyGivenAfterACheck)
{
    vdev::Config config;
    config.initial_flash = vdev::firmware_payload(0x0102, 5000);
    Bench b(config);
    EXPECT_EQ(b.read_byte(BOOT_REG_CRC), 0) << "no check has run yet";
    EXPECT_EQ(b.verdict(), 1);
    b.unlock();
    EXPECT_EQ(b.read_byte(BOOT_REG_CRC), 0) << "unlocking erased the flash and the old verdict";
    EXPECT_EQ(b.verdict(), 0);
}

TEST(Vdev, FirmwareVersionComesFromTheProgrammedImage)
{
    Bench b;
    EXPECT_EQ(b.read_word(BOOT_REG_BOOTLOADER_VERSION), 0x0103);
    EXPECT_EQ(b.read_word(BOOT_REG_FIRMWARE_VERSION), 0xFFFF);
    b.unlock();
    const Bytes payload = vdev::firmware_payload(0x0A00, 100);
    b.block(payload, 0, 0);
    EXPECT_EQ(b.read_word(BOOT_REG_FIRMWARE_VERSION), 0x0A00);
    EXPECT_EQ(b.model.programmed_extent(), 128u);

    vdev::Config preloaded;
    preloaded.initial_flash = vdev::firmware_payload(0x0203, 4096);
    EXPECT_EQ(Bench(preloaded).read_word(BOOT_REG_FIRMWARE_VERSION), 0x0203);
}

TEST(Vdev, FlashStaysShutWithoutTheRightCode)
{
    vdev::Config config;
    config.initial_flash = vdev::firmware_payload(0x0102, 4096);
    Bench b(config);
    vdev::UnlockCode wrong = vdev::kDefaultUnlockCode;
    wrong[15] ^= 0x80;
    b.unlock(wrong);
    EXPECT_EQ(b.read_byte(BOOT_REG_UNLOCK), 0);
    b.block(vdev::seeded_bytes(64, 3), 0, 0);
    EXPECT_EQ(b.model.frames().back().outcome, "refused-locked");
    EXPECT_EQ(b.read_word(BOOT_REG_FIRMWARE_VERSION), 0x0102) << "a wrong code erases nothing";
    EXPECT_EQ(b.verdict(), 1);

    b.unlock();
    EXPECT_EQ(b.read_byte(BOOT_REG_UNLOCK), 1);
    b.unlock(wrong);
    EXPECT_EQ(b.read_byte(BOOT_REG_UNLOCK), 0) << "a wrong code locks again";
}

struct FrameCase {
    const char *name;
    std::function<void(Bytes &)> spoil;
    std::string violation;  // start of the recorded violation
};

TEST(Vdev, MalformedFramesAreRecordedAndDropped)
{
    // Spoils a read request for the bootloader version; the spoiled frame must get no reply.
    auto set_checksum = [](Bytes &r, size_t at) {
        uint8_t sum = 0;
        for (size_t i = 3; i < at; i++)
            sum = (uint8_t)(sum + r[i]);
        r[at] = (uint8_t)(0xFF - sum);
    };
    const FrameCase cases[] = {
        {"checksum off by one", [](Bytes &r) { r[7]++; }, "checksum"},
        {"stray byte in the padding", [](Bytes &r) { r[4000] = 1; }, "padding:4000"},
        {"end mark missing", [](Bytes &r) { r[8] = 0; }, "end-mark"},
        {"one byte short", [](Bytes &r) { r.pop_back(); }, "size:4095"},
        {"report ID 3", [](Bytes &r) { r[0] = 3; }, "report-id"},
        {"start bytes", [](Bytes &r) { r[2] = 0xA6; }, "start-bytes"},
        {"direction 2", [&](Bytes &r) { r[3] = 2; set_checksum(r, 7); }, "direction"},
        {"block with 65 data bytes",
         [&](Bytes &r) {
             r[0] = 2;
             r[3] = 0;
             r[4] = BOOT_REG_FLASH_DATA;
             r[5] = 67;
             r[8] = 0;
         },
         "block-length:65"},
        {"empty block",
         [&](Bytes &r) {
             r[0] = 2;
             r[3] = 0;
             r[4] = BOOT_REG_FLASH_DATA;
             r[5] = 2;
             r[7] = r[8] = 0;
         },
         "empty-block"},
        {"block to the unlock register",
         [&](Bytes &r) {
             std::fill(r.begin(), r.end(), 0);
             uint8_t data[64] = {};
             boot_build_block(r.data(), BOOT_REG_UNLOCK, data, 64, 0);
         },
         "block-register"},
    };
    for (const FrameCase &c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        Bytes r(BOOT_REPORT_SIZE);
        boot_build_command(r.data(), BOOT_DIR_READ, BOOT_REG_BOOTLOADER_VERSION, nullptr, 2);
        c.spoil(r);
        EXPECT_TRUE(b.model.receive(r.data(), r.size()).empty());
        ASSERT_EQ(b.model.frames().size(), 1u);
        EXPECT_EQ(b.model.frames()[0].violation.rfind(c.violation, 0), 0u)
            << "recorded: " << b.model.frames()[0].violation;
        EXPECT_EQ(b.model.counters().violations, 1u);
    }
}

TEST(Vdev, BlockPastTheEndOfTheFlashStoresNothing)
{
    vdev::Config small;
    small.flash_size = 4096;
    Bench b(small);
    b.unlock();
    b.block(vdev::seeded_bytes(128, 1), 0, 63);
    EXPECT_EQ(b.model.frames().back().violation, "beyond-flash-end");
    EXPECT_EQ(b.model.programmed_extent(), 0u);
}

// --- The backend, driven through hidapi the way the program drives it. ---

hid_device *open_primary()
{
    hid_device *d = hid_open(0x047A, 0xF000, nullptr);
    if (d)
        hid_set_nonblocking(d, 1);
    return d;
}

bool logged(const std::string &needle)
{
    for (const std::string &line : vdev::log_lines())
        if (line.find(needle) != std::string::npos)
            return true;
    return false;
}

struct FaultCase {
    const char *name;
    const char *scenario;
    std::function<void(hid_device *)> check;  // given the opened first device, or null
    const char *log;                          // a line part the fault leaves in the log
};

int read_word(hid_device *d, uint8_t reg, uint16_t *v = nullptr)
{
    uint16_t dummy = 0;
    return boot_read_word(d, reg, v ? v : &dummy);
}

int read_byte(hid_device *d, uint8_t reg)
{
    uint8_t b = 0xAA;
    int got = boot_read_register(d, reg, &b, 1);
    return got < 1 ? -100 + got : b;
}

int probe(hid_device *d) { return boot_write_register(d, BOOT_REG_CRC, nullptr, 0); }

int unlock(hid_device *d)
{
    return boot_write_register(d, BOOT_REG_UNLOCK, vdev::kDefaultUnlockCode.data(), 16);
}

int block(hid_device *d, uint16_t address)
{
    uint8_t data[64] = {};
    return boot_write_block(d, BOOT_REG_FLASH_DATA, data, 64, address);
}

TEST(VdevFaults, EachFaultFiresWhenAsked)
{
    const FaultCase cases[] = {
        {"no reply from one register", "device\nfault no-reply reg=0x00\n",
         [](hid_device *d) {
             EXPECT_EQ(read_word(d, 0x00), 0);
             EXPECT_EQ(read_word(d, 0x02), 2);
         },
         "fault dev=1 kind=no-reply reg=0x00"},
        {"no reply to the second request only", "device\nfault no-reply at=2\n",
         [](hid_device *d) {
             EXPECT_EQ(read_word(d, 0x00), 2);
             EXPECT_EQ(read_word(d, 0x02), 0);
             EXPECT_EQ(read_word(d, 0x02), 2);
         },
         "request=2"},
        {"no reply from the second request on", "device\nfault no-reply from=2\n",
         [](hid_device *d) {
             EXPECT_EQ(read_word(d, 0x00), 2);
             EXPECT_EQ(read_word(d, 0x02), 0);
             EXPECT_EQ(read_word(d, 0x00), 0);
         },
         "kind=no-reply"},
        {"wrong echo", "device\nfault wrong-echo reg=0x82\n",
         [](hid_device *d) {
             probe(d);
             EXPECT_EQ(read_byte(d, 0x82), -100);
         },
         "kind=wrong-echo"},
        {"length field 5 to a 1-byte read", "device flash=firmware:0x0102\nfault length reg=0x82 value=5\n",
         [](hid_device *d) {
             probe(d);
             EXPECT_EQ(read_byte(d, 0x82), 1);
         },
         "kind=length"},
        {"length field 0xFFFF to a word read", "device\nfault length reg=0x00 value=0xFFFF\n",
         [](hid_device *d) { EXPECT_EQ(read_word(d, 0x00), 0); }, "kind=length"},
        {"length field 0", "device\nfault length value=0\n",
         [](hid_device *d) { EXPECT_EQ(read_byte(d, 0x80), -100); }, "kind=length"},
        {"unlock answered 0", "device\nfault reply-byte reg=0x80 value=0\n",
         [](hid_device *d) {
             unlock(d);
             EXPECT_EQ(read_byte(d, 0x80), 0);
             EXPECT_TRUE(vdev::model(1)->unlocked()) << "only the answer lies";
         },
         "kind=reply-byte"},
        {"CRC answered 0", "device flash=firmware:0x0102\nfault reply-byte reg=0x82 value=0\n",
         [](hid_device *d) {
             probe(d);
             EXPECT_EQ(read_byte(d, 0x82), 0);
         },
         "kind=reply-byte"},
        {"two stale reports before the answer", "device\nfault stale value=2 at=1\n",
         [](hid_device *d) {
             uint16_t v = 0;
             EXPECT_EQ(read_word(d, 0x00, &v), 2);
             EXPECT_EQ(v, 0xEEEE) << "the link takes the first report it gets";
             EXPECT_EQ(vdev::pending_input(1), 2u);
         },
         "kind=stale"},
        {"short report", "device\nfault short value=5\n",
         [](hid_device *d) { EXPECT_EQ(read_word(d, 0x00), 0); }, "kind=short"},
        {"hid_write fails at the second write", "device\nfault write-fail at=2\n",
         [](hid_device *d) {
             EXPECT_EQ(probe(d), 4096);
             EXPECT_EQ(probe(d), -1);
             EXPECT_EQ(probe(d), 4096);
         },
         "kind=write-fail count=2"},
        {"hid_write fails on the unlock write", "device\nfault write-fail reg=0x80\n",
         [](hid_device *d) {
             EXPECT_EQ(probe(d), 4096);
             EXPECT_EQ(unlock(d), -1);
         },
         "kind=write-fail"},
        {"hid_write fails at the second block", "device\nfault block-fail at=2\n",
         [](hid_device *d) {
             EXPECT_EQ(unlock(d), 4096);
             EXPECT_EQ(block(d, 0), 4096);
             EXPECT_EQ(block(d, 1), -1);
             EXPECT_EQ(vdev::model(1)->programmed_extent(), 64u);
         },
         "kind=block-fail"},
        {"hid_read fails", "device\nfault read-fail at=3\n",
         [](hid_device *d) {
             EXPECT_EQ(read_word(d, 0x00), 2);
             EXPECT_EQ(read_word(d, 0x00), 2);
             EXPECT_EQ(read_word(d, 0x00), -1);
         },
         "kind=read-fail count=3"},
        {"unplugged after two probes", "device unplug-probes=2\n",
         [](hid_device *d) {
             EXPECT_EQ(probe(d), 4096);
             EXPECT_EQ(probe(d), 4096);
             EXPECT_EQ(probe(d), -1);
             uint8_t buf[BOOT_REPORT_SIZE];
             EXPECT_EQ(hid_read(d, buf, sizeof buf), -1);
             EXPECT_EQ(open_primary(), nullptr);
         },
         "unplug dev=1 reason=probes"},
        {"unplugged after a block", "device unplug-blocks=1\n",
         [](hid_device *d) {
             unlock(d);
             EXPECT_EQ(block(d, 0), 4096);
             EXPECT_EQ(block(d, 1), -1);
         },
         "reason=blocks"},
        {"unplugged after a time", "device unplug-ms=5\n",
         [](hid_device *d) {
             EXPECT_EQ(probe(d), 4096);
             std::this_thread::sleep_for(std::chrono::milliseconds(20));
             EXPECT_EQ(probe(d), -1);
         },
         "reason=time"},
        {"manufacturer and serial unreadable", "device fail=manufacturer,serial\n",
         [](hid_device *d) {
             wchar_t s[256] = L"x";
             EXPECT_EQ(hid_get_manufacturer_string(d, s, 255), -1);
             EXPECT_EQ(hid_get_product_string(d, s, 255), 0);
             EXPECT_STREQ(s, L"Velorin Bootloader");
             EXPECT_EQ(hid_get_serial_number_string(d, s, 255), -1);
         },
         "string=serial"},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        ASSERT_TRUE(vdev::load_scenario_text(c.scenario, &error)) << error;
        hid_device *d = open_primary();
        ASSERT_NE(d, nullptr);
        c.check(d);
        hid_close(d);
        EXPECT_TRUE(logged(c.log)) << "no log line with '" << c.log << "'";
    }
    vdev::reset();
}

TEST(VdevFaults, DevicesComeAndGoAsTheScenarioSays)
{
    // Arrives only after two look-ups.
    ASSERT_TRUE(vdev::load_scenario_text("device arrive-opens=2\n"));
    EXPECT_EQ(hid_open(0x047A, 0xF000, nullptr), nullptr);
    EXPECT_EQ(hid_open(0x16D0, 0x5544, nullptr), nullptr);
    hid_device *d = open_primary();
    ASSERT_NE(d, nullptr);
    hid_close(d);

    // Both identities at once: each open finds its own.
    ASSERT_TRUE(vdev::load_scenario_text("device id=secondary serial=S2\ndevice together serial=P1\n"));
    wchar_t s[256];
    d = open_primary();
    ASSERT_NE(d, nullptr);
    hid_get_serial_number_string(d, s, 255);
    EXPECT_STREQ(s, L"P1");
    hid_close(d);
    d = hid_open(0x16D0, 0x5544, nullptr);
    ASSERT_NE(d, nullptr);
    hid_get_serial_number_string(d, s, 255);
    EXPECT_STREQ(s, L"S2");
    hid_close(d);

    // The same board back after unplugging: same number, flash kept, new faults.
    ASSERT_TRUE(vdev::load_scenario_text(
        "device flash=firmware:0x0105 unplug-probes=1\ndevice again\nfault no-reply reg=0x00\n"));
    d = open_primary();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(probe(d), 4096);
    hid_close(d);
    d = open_primary();
    ASSERT_NE(d, nullptr);
    uint16_t v = 0;
    EXPECT_EQ(read_word(d, 0x02, &v), 2);
    EXPECT_EQ(v, 0x0105);
    EXPECT_EQ(read_word(d, 0x00), 0);
    EXPECT_EQ(vdev::devices().size(), 1u);
    hid_close(d);

    // A looping line hands out new boards with the next serial numbers.
    ASSERT_TRUE(vdev::load_scenario_text("device unplug-probes=1\nloop\n"));
    for (const wchar_t *serial : {L"A00017", L"A00018", L"A00019"}) {
        d = open_primary();
        ASSERT_NE(d, nullptr);
        hid_get_serial_number_string(d, s, 255);
        EXPECT_STREQ(s, serial);
        EXPECT_EQ(probe(d), 4096);
        EXPECT_EQ(probe(d), -1);
        hid_close(d);
    }

    // Present but not ours to open.
    ASSERT_TRUE(vdev::load_scenario_text("device open-denied\n"));
    EXPECT_EQ(hid_open(0x047A, 0xF000, nullptr), nullptr);
    std::wstring why = hid_error(nullptr);
    EXPECT_NE(why.find(L"Permission denied"), std::wstring::npos);
    EXPECT_NE(why.find(L"/dev/hidraw0"), std::wstring::npos);
    hid_device_info *list = hid_enumerate(0x047A, 0xF000);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->path, "/dev/hidraw0");
    EXPECT_EQ(list->next, nullptr);
    hid_free_enumeration(list);
    vdev::reset();
}

TEST(VdevScenario, MalformedTextIsRejectedWithItsLine)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"device\nplug\n", "line 2: unknown directive 'plug'"},
        {"device colour=red\n", "line 1: unknown device setting 'colour'"},
        {"device arrive-opens=many\n", "line 1: arrive-opens=many: not a number"},
        {"fault no-reply\n", "line 1: fault before any device line"},
        {"device\nfault melt\n", "line 2: unknown fault 'melt'"},
        {"device\nfault no-reply at=1 from=2\n", "line 2: fault no-reply: give at= or from="},
        {"device manufacturer=\"Velorin\n", "line 1: unterminated quote"},
        {"device unlock=1234\n", "line 1: unlock=1234: want 32 hex digits"},
        {"device again\n", "line 1: again: there is no earlier device"},
        {"device flash=firmware\n", "line 1: flash=firmware: want empty"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        vdev::Scenario sc;
        std::string error;
        EXPECT_FALSE(vdev::parse_scenario(c.text, sc, error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << "error: " << error;
    }
}

TEST(VdevScenario, ShippedScenarioFilesParseAndTheLineMatchesTheBuiltIn)
{
    auto read = [](const std::string &name) {
        std::ifstream in(std::string(VDEV_SCENARIO_DIR) + "/" + name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    EXPECT_EQ(read("production-line.txt"), vdev::kProductionLineScenario);
    vdev::Scenario sc;
    std::string error;
    EXPECT_TRUE(vdev::parse_scenario(read("status.txt"), sc, error)) << error;
    EXPECT_EQ(sc.devices.size(), 4u);
}

}  // namespace

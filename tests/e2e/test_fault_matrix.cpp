// Every fault a bench can produce, end to end: the device vanishing in each phase, replies that
// are wrong in each way a device can get them wrong, and the consequence the operator sees. A
// pass that did not deliver the whole image must never say "  FLASH Programmed.", and a device
// that failed is retried on the next pass.
#include <signal.h>

#include "e2e_support.h"
#include "firmware_image.h"

namespace e2e {
namespace {

const std::string kCheck = "\nChecking CRC...  \n";
const std::string kUnlocking = "\nUnlocking FLASH...  ";
const std::string kUnlocked = kUnlocking + "FLASH unlocked\nProgramming FLASH";

// Five blocks: four whole chunks and one of 1,000 bytes. Frames the device receives in a good
// pass: 1 bootloader-version read, 2 firmware-version read, 3 unlock code, 4 unlock read,
// 5 to 9 the blocks, 10 CRC check, 11 CRC read, 12 new-version read, then presence probes.
constexpr size_t kPayload = 4 * 4032 + 1000;
constexpr unsigned kBlocks = 5;

// How the pass that met the fault ends.
enum class Then {
    Retry,  // the next pass clears the screen and finds the device again, without a key
    Wait,   // the pass counts as done: it waits for the device to go
};

struct FaultCase {
    const char *name;
    std::string first;       // the device's scenario line for the pass that meets the fault
    std::string screen;      // the failed pass's screen after the identity lines
    Then then;
    unsigned blocks_stored;  // blocks the device stored during that pass
};

class Fault : public Romwrite, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Fault, EndsInItsMessageAndConsequenceAndNeverClaimsSuccess) {
    const FaultCase &c = GetParam();
    Bytes payload = firmware(0x0207, kPayload);
    std::string image = write_image("fw.bin", payload);
    // The same device plugged in again after it vanished (or left after a finished pass).
    PtySession &s = start(c.first + "\ndevice again arrive-opens=2\n", {image});

    EXPECT_SCREEN(s, kDisconnect, kPass);
    if (c.then == Then::Retry) {
        // The next pass follows the one-second pause, and this time the device is programmed.
        EXPECT_SCREEN(s, kBanner, kPass);
        EXPECT_SCREEN(s, "CRC OK", kPass);
        EXPECT_SCREEN(s, kDisconnect, kPass);
    } else {
        s.settle(1500);
        EXPECT_EQ(s.plain().find(kBanner, s.plain().find(kDisconnect)), std::string::npos)
            << "the pass must wait for the device to go: " << s.plain();
    }
    ASSERT_TRUE(s.send("x"));
    expect_clean_exit();

    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 3u) << s.plain();
    const std::string &failed = sc[2];
    ASSERT_GE(failed.size(), c.screen.size()) << failed;
    EXPECT_EQ(failed.substr(failed.size() - c.screen.size()), c.screen);
    if (c.blocks_stored < kBlocks) {
        EXPECT_EQ(failed.find(kProgrammed), std::string::npos) << "claimed success:\n" << failed;
    }

    std::vector<Block> stored;
    for (const Block &b : blocks())
        if (b.outcome == "stored") stored.push_back(b);
    unsigned retried = c.then == Then::Retry ? kBlocks : 0;
    EXPECT_EQ(stored.size(), c.blocks_stored + retried);
    if (c.then == Then::Retry || c.blocks_stored == kBlocks) {
        EXPECT_EQ(flash(), padded(payload, 0, payload.size())) << "the whole image is in the device";
    }
    if (c.then == Then::Retry) {
        ASSERT_GE(sc.size(), 5u);
        EXPECT_NE(sc[4].find(kCrcOkBox + new_version_box("2.7")), std::string::npos) << sc[4];
    }
}

const std::string kVersions = versions("1.3", "FLASH EMPTY");
const std::string kAllDots(kBlocks, '.');

INSTANTIATE_TEST_SUITE_P(
    DeviceVanishes, Fault,
    ::testing::Values(
        // Gone while its strings are read: every string read fails, as it does once the node is
        // gone, and the first frame is the last the device takes.
        FaultCase{"DuringIdentification", "device flash=empty fail=manufacturer,product,serial unplug-writes=1",
                  "Unable to read manufacturer string\nManufacturer String:    \n"
                  "Unable to read product string\nProduct String:         \n"
                  "Unable to read serial number string\nSerial Number String:   (0) \n"
                  "Unable to read bootloader version\n" +
                      std::string(kDisconnect),
                  Then::Retry, 0},
        FaultCase{"DuringTheVersionReads", "device flash=empty unplug-writes=2",
                  "\nBootloader version:     1.3\nUnable to read firmware version\n" + std::string(kDisconnect),
                  Then::Retry, 0},
        FaultCase{"DuringTheUnlock", "device flash=empty unplug-writes=3",
                  kVersions + kUnlocking + "Unable to unlock FLASH\n" + kDisconnect, Then::Retry, 0},
        // Gone right after taking the first block: the second block's write fails.
        FaultCase{"AfterTheFirstBlock", "device flash=empty unplug-writes=5",
                  kVersions + kUnlocked + "." + kProgrammingError + kDisconnect, Then::Retry, 1},
        FaultCase{"AtAMiddleBlock", "device flash=empty unplug-writes=6",
                  kVersions + kUnlocked + ".." + kProgrammingError + kDisconnect, Then::Retry, 2},
        FaultCase{"AtTheLastBlock", "device flash=empty unplug-writes=8",
                  kVersions + kUnlocked + "...." + kProgrammingError + kDisconnect, Then::Retry, 4},
        // Every block went out, so the image was programmed; the check that follows cannot be
        // had and says so in red, and the missing new version makes the pass a retry.
        FaultCase{"DuringTheCrcCheck", "device flash=empty unplug-writes=10",
                  kVersions + kUnlocked + kAllDots + kProgrammed + kCheck + kWrongCrcBox +
                      "Unable to read firmware version\n" + kDisconnect,
                  Then::Retry, kBlocks},
        FaultCase{"DuringTheNewVersionRead", "device flash=empty unplug-writes=12",
                  kVersions + kUnlocked + kAllDots + kProgrammed + kCheck + kCrcOkBox +
                      "Unable to read firmware version\n" + kDisconnect,
                  Then::Retry, kBlocks},
        // The way a finished pass is meant to end: the next pass follows as after a failure.
        FaultCase{"DuringTheDisconnectWait", "device flash=empty unplug-probes=2",
                  kVersions + kUnlocked + kAllDots + kProgrammed + kCheck + kCrcOkBox + new_version_box("2.7") +
                      kDisconnect,
                  Then::Retry, kBlocks}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    WrongReplies, Fault,
    ::testing::Values(
        FaultCase{"LengthFieldFFFFForAVersion", "device flash=empty\nfault length reg=0x00 value=0xFFFF at=1",
                  "Unable to read bootloader version\n" + std::string(kDisconnect), Then::Retry, 0},
        // A length beyond the report is no licence to copy beyond it: one byte was asked for.
        FaultCase{"LengthFieldFFFFForTheUnlock", "device flash=empty\nfault length reg=0x80 value=0xFFFF at=1",
                  kVersions + kUnlocked + kAllDots + kProgrammed + kCheck + kCrcOkBox + new_version_box("2.7") +
                      kDisconnect,
                  Then::Wait, kBlocks},
        FaultCase{"ReportShorterThanItsHeader", "device flash=empty\nfault short reg=0x02 value=5 at=1",
                  "\nBootloader version:     1.3\nUnable to read firmware version\n" + std::string(kDisconnect),
                  Then::Retry, 0},
        FaultCase{"ShortReportForTheCrcVerdict", "device flash=empty\nfault short reg=0x82 value=6 at=1",
                  kVersions + kUnlocked + kAllDots + kProgrammed + kCheck + kWrongCrcBox +
                      new_version_box("2.7") + kDisconnect,
                  Then::Wait, kBlocks},
        FaultCase{"ReadErrorInThePollWindow", "device flash=empty empty-polls=5\nfault read-fail at=3",
                  "Unable to read bootloader version\n" + std::string(kDisconnect), Then::Retry, 0},
        // A version read takes the first report with a length of 2, whatever register it echoes,
        // so a stale report shifts every answer by one; the unlock verdict, whose echo is
        // checked, is then refused and nothing is written. (The version lines of that pass show
        // the shifted values.)
        FaultCase{"StaleReportBeforeAVersion", "device flash=empty\nfault stale reg=0x00 at=1",
                  kUnlocking + "Unable to unlock FLASH\n" + kDisconnect, Then::Retry, 0},
        FaultCase{"StaleReportBeforeTheUnlockVerdict", "device flash=empty\nfault stale reg=0x80 at=1",
                  kVersions + kUnlocking + "Unable to unlock FLASH\n" + kDisconnect, Then::Retry, 0},
        FaultCase{"FirstBlockWriteFails", "device flash=empty\nfault block-fail at=1",
                  kVersions + kUnlocked + kProgrammingError + kDisconnect, Then::Retry, 0},
        FaultCase{"UnlockCodeWriteFails", "device flash=empty\nfault write-fail reg=0x80 at=1",
                  kVersions + kUnlocking + "Unable to unlock FLASH\n" + kDisconnect, Then::Retry, 0},
        FaultCase{"CrcCheckWriteFails", "device flash=empty\nfault write-fail reg=0x82 at=1",
                  kVersions + kUnlocked + kAllDots + kProgrammed + kCheck + kWrongCrcBox +
                      new_version_box("2.7") + kDisconnect,
                  Then::Wait, kBlocks}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

// Status mode and the pass loop: what a pass shows for each state of the device, which device is
// opened, and what happens between one pass and the next.
#include <signal.h>

#include <chrono>

#include "e2e_support.h"

namespace e2e {
namespace {

struct StatusCase {
    const char *name;
    CASE_NAMED(StatusCase)
    std::string scenario;
    std::string report;     // the pass's screen between the identity and the disconnect line
    bool verdict_good;      // colour of the box
    bool waits_for_unplug;  // presence probes after the disconnect line
};

const std::string kCheck = "\nChecking CRC...  \n";

class StatusPass : public Romwrite, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusPass, ReportsTheDeviceThenWaitsOrRetries) {
    const StatusCase &c = GetParam();
    PtySession &s = start(c.scenario);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    auto disconnect_seen = std::chrono::steady_clock::now();
    // The next pass starts when the device has gone (unplugged after its presence probes) or,
    // after a failure, at once with the same device still attached.
    EXPECT_SCREEN(s, kBanner, kPass);
    auto next_banner_seen = std::chrono::steady_clock::now();
    if (!c.waits_for_unplug) {
        EXPECT_SCREEN(s, kDisconnect, kPass);  // the retried pass, through to its end
    }
    ASSERT_TRUE(s.send("q"));
    expect_clean_exit(kPass);

    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 4u) << s.plain();
    EXPECT_EQ(sc[1], kBanner);
    EXPECT_EQ(sc[2], default_identity() + c.report + kStatusNote + kDisconnect);
    EXPECT_EQ(sc[3], kBanner) << "the next pass begins on a cleared screen";

    std::string raw = s.raw();
    size_t line_ends = 0, returns = 0;
    for (size_t at = raw.find('\n'); at != std::string::npos; at = raw.find('\n', at + 1)) {
        ++line_ends;
        if (at > 0 && raw[at - 1] == '\r') ++returns;
    }
    EXPECT_EQ(returns, line_ends) << "every line starts at the left margin: no staircase";
    if (c.report.find("Checking CRC") != std::string::npos) {
        std::string box = crlf(c.verdict_good ? kCrcOkBox : kWrongCrcBox);
        EXPECT_NE(raw.find((c.verdict_good ? kGreen : kRed) + box + kNormal), std::string::npos)
            << "verdict box in its colour, normal colour after it";
    }
    EXPECT_NE(raw.find(kRed + crlf(kStatusNote) + kNormal), std::string::npos) << "the note is red";

    // Presence probes are data-less writes to the CRC register after the verdict's own.
    std::vector<std::string> crc_writes = log_matching(" dir=write reg=0x82 ");
    std::vector<std::string> unplugs = log_matching("unplug ");
    if (c.waits_for_unplug) {
        EXPECT_EQ(unplugs.size(), 1u);
        EXPECT_GE(crc_writes.size(), 2u);
    } else {
        // The first pass failed before the verdict: no trigger and no probe until the retry,
        // which starts from the first request again.
        EXPECT_TRUE(unplugs.empty());
        std::vector<std::string> lines = log();
        size_t first_crc = lines.size(), bootloader_reads = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(" dir=read reg=0x00 ") != std::string::npos && first_crc == lines.size())
                ++bootloader_reads;
            if (lines[i].find(" reg=0x82 ") != std::string::npos && first_crc == lines.size()) first_crc = i;
        }
        EXPECT_EQ(bootloader_reads, 2u) << "the retried pass asks again before anything else";
        EXPECT_EQ(sc[4], default_identity() + versions("1.3", "1.2") + kCheck + kCrcOkBox + kStatusNote +
                             kDisconnect);
        EXPECT_GE(next_banner_seen - disconnect_seen, std::chrono::milliseconds(700))
            << "the retry comes after the pause between passes";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Device, StatusPass,
    ::testing::Values(
        StatusCase{"GoodCrc", "device flash=firmware:0x0102:8192 unplug-probes=3\n",
                   versions("1.3", "1.2") + kCheck + kCrcOkBox, true, true},
        StatusCase{"WrongCrc", "device flash=bad-firmware:0x0A00:8192 unplug-probes=3\n",
                   versions("1.3", "10.0") + kCheck + kWrongCrcBox, false, true},
        StatusCase{"CrcAnsweredZero", "device flash=firmware:0x0102:8192 unplug-probes=3\n"
                                      "fault reply-byte reg=0x82 value=0\n",
                   versions("1.3", "1.2") + kCheck + kWrongCrcBox, false, true},
        StatusCase{"FlashEmpty", "device flash=empty bootloader=0x0A07 unplug-probes=3\n",
                   versions("10.7", "FLASH EMPTY") + kCheck + kWrongCrcBox, false, true},
        StatusCase{"NoAnswerToTheBootloaderVersion",
                   "device flash=firmware:0x0102:8192\nfault no-reply reg=0x00 at=1\n",
                   "Unable to read bootloader version\n", false, false},
        StatusCase{"NoAnswerToTheFirmwareVersion",
                   "device flash=firmware:0x0102:8192\nfault no-reply reg=0x02 at=1\n",
                   "\nBootloader version:     1.3\nUnable to read firmware version\n", false, false}),
    [](const auto &info) { return std::string(info.param.name); });

// With the output going to a file or another program, not a single escape sequence is printed:
// no clear, no colour.
TEST_F(Romwrite, NoEscapeSequenceWhenOutputIsNotATerminal) {
    PtySession &s = start("device flash=firmware:0x0102:8192 unplug-probes=3\n"
                          "device arrive-opens=2 flash=bad-firmware:0x0102:8192\n",
                          {}, false);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    EXPECT_SCREEN(s, kDisconnect, kPass);  // the second device: a red verdict on a terminal
    s.kill_group(SIGTERM);
    ASSERT_TRUE(s.wait_exit(kQuick)) << s.failure();
    std::string raw = s.raw();
    EXPECT_EQ(raw.find('\033'), std::string::npos) << raw;
    EXPECT_EQ(raw.find('\r'), std::string::npos);
    std::string second = identity("Velorin Ltd", "Velorin Bootloader", "A00018") + versions("1.3", "1.2") + kCheck + kWrongCrcBox + kStatusNote + kDisconnect;
    EXPECT_NE(raw.find(std::string(kBanner) + second), std::string::npos) << raw;
}

// Which device a pass opens, and its identity lines.
struct IdentityCase {
    const char *name;
    CASE_NAMED(IdentityCase)
    std::string scenario;
    std::string shown;
};

class Identity : public Romwrite, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(Identity, ShowsTheOpenedDevicesStrings) {
    PtySession &s = start(GetParam().scenario);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 3u);
    EXPECT_EQ(sc[2].substr(0, GetParam().shown.size()), GetParam().shown);
    std::vector<std::string> opens = log_matching("open ");
    ASSERT_EQ(opens.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Identity,
    ::testing::Values(
        IdentityCase{"BothAttachedPrimaryListedSecond",
                     "device id=secondary manufacturer=Other product=\"Second Boot\" serial=S2\n"
                     "device id=primary together manufacturer=\"Velorin Ltd\" product=Primary serial=P1\n",
                     identity("Velorin Ltd", "Primary", "P1")},
        IdentityCase{"BothAttachedPrimaryListedFirst",
                     "device id=primary manufacturer=First product=Primary serial=P1\n"
                     "device id=secondary together manufacturer=Other product=Secondary serial=S2\n",
                     identity("First", "Primary", "P1")},
        IdentityCase{"SecondaryAlone", "device id=secondary serial=B42\n",
                     identity("Velorin Ltd", "Velorin Bootloader", "B42")},
        IdentityCase{"UnreadableStrings", "device fail=manufacturer,product,serial\n",
                     "\nVelorin device detected.\n"
                     "Unable to read manufacturer string\nManufacturer String:    \n"
                     "Unable to read product string\nProduct String:         \n"
                     "Unable to read serial number string\nSerial Number String:   (0) \n"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

// The ways the program ends, and what each leaves on the screen, in the terminal and on the
// device.
#include <signal.h>
#include <sys/stat.h>

#include "e2e_support.h"
#include "firmware_image.h"

namespace e2e {
namespace {

const char *const kNoDevice = "# nobody plugs anything in\n";

// The usage text is the whole output: no clear, no colour, nothing else, whatever the output is.
struct UsageCase {
    const char *name;
    CASE_NAMED(UsageCase)
    std::vector<std::string> args;
    bool terminal;
};

class Usage : public Romwrite, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, PrintsTheUsageTextAloneAndEnds) {
    const UsageCase &c = GetParam();
    PtySession &s = start(kGoodDevice, c.args, c.terminal);
    expect_clean_exit();
    std::string expected = c.terminal ? crlf(kUsage) : kUsage;
    EXPECT_EQ(s.raw(), expected);
    EXPECT_TRUE(log_matching("open ").empty()) << "no device is looked at";
}

INSTANTIATE_TEST_SUITE_P(Arguments, Usage,
                         ::testing::Values(UsageCase{"TwoOnATerminal", {"a.bin", "b.bin"}, true},
                                           UsageCase{"ThreeToAPipe", {"a", "b", "c"}, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Romwrite, MissingImageFileIsNamedAsTypedAfterAClear) {
    PtySession &s = start(kGoodDevice, {"./no such/fw.bin"});
    expect_clean_exit();
    EXPECT_EQ(s.raw(), std::string(kClearScreen) + crlf("Could not open file ./no such/fw.bin\n"));
    EXPECT_TRUE(log_matching("open ").empty()) << "the program ends before asking for a device";
}

// A key ends the wait for a device at once; it is consumed with all its bytes and the screen is
// cleared as the program goes.
struct DeviceWaitKeyCase {
    const char *name;
    CASE_NAMED(DeviceWaitKeyCase)
    const char *key;
};

class KeyDuringDeviceWait : public Romwrite, public ::testing::WithParamInterface<DeviceWaitKeyCase> {};

TEST_P(KeyDuringDeviceWait, ConsumesTheKeyClearsAndEnds) {
    PtySession &s = start(kNoDevice);
    EXPECT_SCREEN(s, kBanner, kQuick);
    s.settle(300);  // a few discovery rounds
    ASSERT_TRUE(s.send(GetParam().key));
    expect_clean_exit();
    std::string raw = s.raw();
    std::string clear = kClearScreen;
    ASSERT_GE(raw.size(), clear.size());
    EXPECT_EQ(raw.substr(raw.size() - clear.size()), clear) << "the screen is cleared last";
    EXPECT_EQ(screens(raw), (std::vector<std::string>{"", kBanner, ""}));
    EXPECT_EQ(s.unread_input(), 0) << "the key, every byte of it, is consumed";
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyDuringDeviceWait,
                         ::testing::Values(DeviceWaitKeyCase{"Letter", "x"}, DeviceWaitKeyCase{"CursorUp", "\033[A"},
                                           DeviceWaitKeyCase{"F5", "\033[15~"}, DeviceWaitKeyCase{"Enter", "\r"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Romwrite, KeyDuringUnplugWaitEndsAfterThePassWithoutClearing) {
    // The device never leaves by itself.
    PtySession &s = start(kGoodDevice);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    ASSERT_TRUE(wait_for_log(" dir=write reg=0x82 ", 3, kQuick)) << "the CRC trigger, then presence probes";
    ASSERT_TRUE(s.send("k"));
    expect_clean_exit();
    std::string raw = s.raw();
    std::string tail = raw.substr(raw.rfind(crlf(kDisconnect)));
    EXPECT_EQ(tail, crlf(kDisconnect)) << "nothing, no clear either, after the disconnect line";
    EXPECT_EQ(s.unread_input(), 0);
    EXPECT_EQ(log_matching("close").size(), 1u) << "the device is closed once";
    EXPECT_EQ(log_matching("unplug").size(), 0u);
}

// Ctrl-C ends the program at once and leaves the terminal exactly as it found it.
TEST_F(Romwrite, InterruptKeyLeavesTheTerminalAsItWas) {
    PtySession &s = start(kNoDevice);
    EXPECT_SCREEN(s, kBanner, kQuick);
    s.settle(100);
    termios during{};
    ASSERT_TRUE(s.settings(&during));
    EXPECT_NE(termios_difference(s.initial_settings(), during), "")
        << "the program runs the terminal in single-key mode, so there is something to put back";
    EXPECT_TRUE(during.c_lflag & ISIG) << "the interrupt key must still work";
    EXPECT_TRUE(during.c_oflag & OPOST) << "line ends must still return the cursor";
    ASSERT_TRUE(s.send("\x03"));
    ASSERT_TRUE(s.wait_exit(kQuick)) << s.failure();
    ASSERT_TRUE(s.signalled()) << s.status_text();
    EXPECT_EQ(s.signal(), SIGINT);
    termios after{};
    ASSERT_TRUE(s.settings(&after));
    EXPECT_EQ(termios_difference(s.initial_settings(), after), "");
}

// An image the program will not send ends the program after the pass, before the device's flash
// is touched: no frame at all reaches the device.
struct RefusedImageCase {
    const char *name;
    CASE_NAMED(RefusedImageCase)
    std::string message;
    enum { Marker2, Short195, Directory, DevZero, TooLarge } kind;
};

class RefusedImage : public Romwrite, public ::testing::WithParamInterface<RefusedImageCase> {};

TEST_P(RefusedImage, EndsTheProgramWithoutUnlocking) {
    const RefusedImageCase &c = GetParam();
    std::string path;
    switch (c.kind) {
    case RefusedImageCase::Marker2:
        path = write_image("fw.bin", firmware(0x0102, 4000), 2);
        break;
    case RefusedImageCase::Short195: {
        Bytes header = vdev::make_image(Bytes{});  // marker 1, nothing after the header
        header.resize(195);
        path = write_file("fw.bin", header);
        break;
    }
    case RefusedImageCase::Directory:
        path = dir_.file("fw.d");
        mkdir(path.c_str(), 0755);
        break;
    case RefusedImageCase::DevZero:
        path = "/dev/zero";
        break;
    case RefusedImageCase::TooLarge:
        // One byte beyond what 16-bit block addresses can reach.
        path = write_image("fw.bin", Bytes(4197313, 0x5A));
        break;
    }
    PtySession &s = start(kGoodDevice, {path});
    expect_clean_exit(kPass);
    std::vector<std::string> sc = screens(s.raw());
    ASSERT_EQ(sc.size(), 3u) << s.plain();
    EXPECT_EQ(sc[1], kBanner);
    EXPECT_EQ(sc[2], default_identity() + c.message + kDisconnect);
    EXPECT_TRUE(log_matching("frame ").empty()) << "the device got no frame";
    EXPECT_EQ(log_matching("close").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Images, RefusedImage,
    ::testing::Values(
        RefusedImageCase{"MarkerTwo", "Unable to read the file header.\n", RefusedImageCase::Marker2},
        RefusedImageCase{"HeaderOneByteShort", "Unable to read the file header.\n", RefusedImageCase::Short195},
        RefusedImageCase{"Directory", "Unable to read the file header.\n", RefusedImageCase::Directory},
        RefusedImageCase{"DevZero", "Unable to read the file header.\n", RefusedImageCase::DevZero},
        RefusedImageCase{"PayloadBeyondTheAddressRange",
                         "Image payload of 4197313 bytes is too large: the device can address at most 4197312 bytes.\n",
                         RefusedImageCase::TooLarge}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

// Image files that are bad in the ways a bench produces them, and the signals that end the
// program in each phase. A refused image ends the program before any frame reaches the device;
// an image that changes between passes is taken as it is when the next pass opens it; and
// whatever ends the program leaves the terminal as it was.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "e2e_support.h"
#include "firmware_image.h"

namespace e2e {
namespace {

const char *const kHeaderRefused = "Unable to read the file header.\n";

struct BadFileCase {
    const char *name;
    enum { Empty, OneByte, FifoWithoutWriter } kind;
};

class BadFile : public Romwrite, public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(BadFile, IsRefusedAndEndsTheProgramWithoutAFrame) {
    std::string path = dir_.file("fw.bin");
    switch (GetParam().kind) {
    case BadFileCase::Empty:
        write_file("fw.bin", {});
        break;
    case BadFileCase::OneByte:
        write_file("fw.bin", {1});
        break;
    case BadFileCase::FifoWithoutWriter:
        // Opening a pipe nobody writes to must not hang the program where no key can end it.
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        break;
    }
    PtySession &s = start(kGoodDevice, {path});
    expect_clean_exit(kPass);
    std::vector<std::string> sc = screens(s.raw());
    ASSERT_EQ(sc.size(), 3u) << s.plain();
    EXPECT_EQ(sc[1], kBanner);
    EXPECT_EQ(sc[2], default_identity() + kHeaderRefused + kDisconnect);
    EXPECT_TRUE(log_matching("frame ").empty()) << "the device got no frame";
}

INSTANTIATE_TEST_SUITE_P(Images, BadFile,
                         ::testing::Values(BadFileCase{"Empty", BadFileCase::Empty},
                                           BadFileCase{"OneByte", BadFileCase::OneByte},
                                           BadFileCase{"FifoWithoutWriter", BadFileCase::FifoWithoutWriter}),
                         [](const auto &info) { return std::string(info.param.name); });

// A file the operator may not read is named as typed, before any device is asked for. Root reads
// every file whatever its mode, so as root the program runs as nobody.
TEST_F(Romwrite, UnreadableImageIsNamedAndEndsTheProgram) {
    std::string path = write_image("fw.bin", firmware(0x0102, 4000));
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    SessionOptions o;
    o.program = ROMWRITE_VIRTUAL_BIN;
    o.args = {path};
    if (geteuid() == 0) {
        const char *setpriv = "/usr/bin/setpriv";
        if (access(setpriv, X_OK) != 0) GTEST_SKIP() << "running as root and " << setpriv << " is missing";
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0) << "the file itself, not its directory, must refuse";
        o.program = setpriv;
        o.args = {"--reuid=65534", "--regid=65534", "--clear-groups", ROMWRITE_VIRTUAL_BIN, path};
    }
    o.cwd = dir_.path();
    session_ = std::make_unique<PtySession>(o);
    ASSERT_TRUE(session_->start()) << session_->failure();
    expect_clean_exit(kPass);
    std::vector<std::string> sc = screens(session_->raw());
    ASSERT_EQ(sc.size(), 2u) << session_->plain();
    EXPECT_EQ(sc[1], "Could not open file " + path + "\n");
}

// The image is opened anew by every pass; what the bench does to the file in between is what the
// next device gets.
struct BetweenPassesCase {
    const char *name;
    enum { HeaderCut, PayloadCut, Replaced, Removed } change;
};

class ChangedBetweenPasses : public Romwrite, public ::testing::WithParamInterface<BetweenPassesCase> {};

TEST_P(ChangedBetweenPasses, NextPassTakesTheFileAsItIsThen) {
    const BetweenPassesCase &c = GetParam();
    Bytes first = firmware(0x0207, 4 * 4032 + 1000);
    std::string path = write_image("fw.bin", first);
    PtySession &s = start("device flash=empty unplug-probes=3\ndevice again arrive-opens=2\n", {path});
    EXPECT_SCREEN(s, kProgrammed, kPass);
    Bytes second = firmware(0x0301, 6000, 99);
    switch (c.change) {
    case BetweenPassesCase::HeaderCut:
        ASSERT_EQ(truncate(path.c_str(), 100), 0);
        break;
    case BetweenPassesCase::PayloadCut:
        ASSERT_EQ(truncate(path.c_str(), 196 + 5000), 0);
        break;
    case BetweenPassesCase::Replaced: {
        std::string fresh = write_image("fresh.bin", second);
        ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
        break;
    }
    case BetweenPassesCase::Removed:
        ASSERT_EQ(unlink(path.c_str()), 0);
        break;
    }
    EXPECT_SCREEN(s, kDisconnect, kPass);

    const std::string programmed = "\nUnlocking FLASH...  FLASH unlocked\nProgramming FLASH";
    std::string next;  // the second pass's screen after the identity lines
    Bytes expected_flash;
    switch (c.change) {
    case BetweenPassesCase::HeaderCut:
        next = kHeaderRefused;
        expected_flash = padded(first, 0, first.size());
        break;
    case BetweenPassesCase::PayloadCut:
        // All of what is left goes out; the device's own check tells the image is incomplete.
        next = versions("1.3", "2.7") + programmed + ".." + kProgrammed + "\nChecking CRC...  \n" +
               kWrongCrcBox + new_version_box("2.7");
        expected_flash = padded(first, 0, 5000);
        break;
    case BetweenPassesCase::Replaced:
        next = versions("1.3", "2.7") + programmed + ".." + kProgrammed + "\nChecking CRC...  \n" +
               kCrcOkBox + new_version_box("3.1");
        expected_flash = padded(second, 0, second.size());
        break;
    case BetweenPassesCase::Removed:
        break;
    }
    if (c.change == BetweenPassesCase::Removed) {
        expect_clean_exit(kPass);
        std::vector<std::string> sc = screens(s.raw());
        ASSERT_EQ(sc.size(), 4u) << s.plain();
        EXPECT_EQ(sc[3], "Could not open file " + path + "\n");
        EXPECT_EQ(flash(), padded(first, 0, first.size()));
        return;
    }
    EXPECT_SCREEN(s, kBanner, kPass);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    if (c.change != BetweenPassesCase::HeaderCut) {
        ASSERT_TRUE(s.send("x"));
    }
    expect_clean_exit(kPass);
    std::vector<std::string> sc = screens(s.raw());
    ASSERT_EQ(sc.size(), 5u) << s.plain();
    EXPECT_EQ(sc[4], default_identity() + next + kDisconnect);
    EXPECT_EQ(flash(), expected_flash);
}

INSTANTIATE_TEST_SUITE_P(Images, ChangedBetweenPasses,
                         ::testing::Values(BetweenPassesCase{"HeaderCut", BetweenPassesCase::HeaderCut},
                                           BetweenPassesCase{"PayloadCut", BetweenPassesCase::PayloadCut},
                                           BetweenPassesCase{"Replaced", BetweenPassesCase::Replaced},
                                           BetweenPassesCase{"Removed", BetweenPassesCase::Removed}),
                         [](const auto &info) { return std::string(info.param.name); });

// The interrupt key, SIGTERM and SIGHUP in each phase: the program ends by the signal, as any
// program would, and the terminal is back in the settings it had before.
enum class Phase { DeviceWait, Programming, DisconnectWait };

struct SignalCase {
    const char *name;
    Phase phase;
    int sig;  // SIGINT arrives as the interrupt key typed on the terminal
};

class EndedBySignal : public Romwrite, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(EndedBySignal, LeavesTheTerminalAsItWas) {
    const SignalCase &c = GetParam();
    std::string image = write_image("fw.bin", firmware(0x0207, 10000));
    switch (c.phase) {
    case Phase::DeviceWait:
        start("# nobody plugs anything in\n", {image});
        EXPECT_SCREEN(*session_, kBanner, kQuick);
        break;
    case Phase::Programming:
        // Each reply keeps the program polling for about 300 ms: the signal finds it waiting for
        // the unlock verdict, with the flash about to be written.
        start("device flash=empty empty-polls=30\n", {image});
        EXPECT_SCREEN(*session_, "Unlocking FLASH...  ", kPass);
        break;
    case Phase::DisconnectWait:
        start("device flash=empty\n", {image});
        EXPECT_SCREEN(*session_, kDisconnect, kPass);
        break;
    }
    PtySession &s = *session_;
    s.settle(50);
    if (c.sig == SIGINT) {
        ASSERT_TRUE(s.send("\x03"));
    } else {
        s.kill_group(c.sig);
    }
    ASSERT_TRUE(s.wait_exit(kQuick)) << s.failure();
    ASSERT_TRUE(s.signalled()) << s.status_text();
    EXPECT_EQ(s.signal(), c.sig);
    termios after{};
    ASSERT_TRUE(s.settings(&after));
    EXPECT_EQ(termios_difference(s.initial_settings(), after), "");
    if (c.phase == Phase::Programming) {
        EXPECT_EQ(s.plain().find(kProgrammed), std::string::npos) << s.plain();
        EXPECT_TRUE(blocks().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EndedBySignal,
    ::testing::Values(SignalCase{"TermDuringDeviceWait", Phase::DeviceWait, SIGTERM},
                      SignalCase{"HangUpDuringDeviceWait", Phase::DeviceWait, SIGHUP},
                      SignalCase{"InterruptKeyDuringProgramming", Phase::Programming, SIGINT},
                      SignalCase{"TermDuringProgramming", Phase::Programming, SIGTERM},
                      SignalCase{"HangUpDuringProgramming", Phase::Programming, SIGHUP},
                      SignalCase{"InterruptKeyDuringDisconnectWait", Phase::DisconnectWait, SIGINT},
                      SignalCase{"TermDuringDisconnectWait", Phase::DisconnectWait, SIGTERM},
                      SignalCase{"HangUpDuringDisconnectWait", Phase::DisconnectWait, SIGHUP}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

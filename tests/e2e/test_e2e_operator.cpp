// What the operator is told beyond the device's own report: a device that is plugged in but that
// this user may not open, and text without colour where colour is not wanted.
#include <algorithm>
#include <map>
#include <ostream>

#include "e2e_support.h"

namespace e2e {
namespace {

std::string refused_line(const std::string &node) {
    return "The device at " + node +
           " cannot be opened: Permission denied. Install the udev rule 70-romwrite.rules (see man "
           "romwrite), then unplug the device and plug it in again.\n";
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The program looks for a device every 200 ms. Right after plug-in udev may still be setting the
// node's permissions, so a refusal is reported only when it lasts more than about a second, and
// then once; the wait goes on as before either way.
struct RefusedCase {
    const char *name;
    std::string scenario;
    bool told;   // the waiting screen names the node and the reason
    bool opens;  // the device is opened in the end and its pass runs
    friend void PrintTo(const RefusedCase &c, std::ostream *os) { *os << c.name; }
};

class RefusedOpen : public Romwrite, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedOpen, IsReportedOnceWhenItLastsAndTheWaitGoesOn) {
    const RefusedCase &c = GetParam();
    const std::string line = refused_line("/dev/hidraw0");
    PtySession &s = start(c.scenario);
    if (c.opens) {
        EXPECT_SCREEN(s, kDisconnect, kPass);
    } else {
        EXPECT_SCREEN(s, line, kPass);
        s.settle(800);  // four more discovery rounds, still refused
    }
    ASSERT_TRUE(s.send("q"));
    expect_clean_exit(kPass);

    std::vector<std::string> sc = screens(s.raw());
    ASSERT_GE(sc.size(), 3u) << s.plain();
    EXPECT_EQ(sc[1], kBanner + (c.told ? line : "")) << "the line is added to the waiting screen, nothing else";
    EXPECT_EQ(count(s.plain(), "cannot be opened"), c.told ? 1u : 0u);
    if (c.opens) {
        EXPECT_EQ(sc[2].substr(0, default_identity().size()), default_identity());
    } else {
        EXPECT_EQ(sc.size(), 3u) << "the key ended the wait and cleared the screen";
        EXPECT_EQ(sc[2], "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, RefusedOpen,
    ::testing::Values(RefusedCase{"RefusedForGood", "device open-denied\n", true, false},
                      RefusedCase{"SecondaryIdentityRefusedForGood", "device id=secondary open-denied\n", true, false},
                      // Three rounds, about 600 ms: udev catching up, not worth a word.
                      RefusedCase{"RefusedBriefly", "device deny-opens=3\n", false, true},
                      // Ten rounds, about two seconds: told, then the device is served as usual.
                      RefusedCase{"RefusedThenAllowed", "device deny-opens=10\n", true, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Colour only for a terminal that wants it: NO_COLOR with any value, or TERM=dumb, turns it off.
// The screen is still cleared between passes.
struct ColourCase {
    const char *name;
    std::map<std::string, std::string> env;
    bool colour;
    friend void PrintTo(const ColourCase &c, std::ostream *os) { *os << c.name; }
};

class Colour : public Romwrite, public ::testing::WithParamInterface<ColourCase> {
protected:
    // As start(), with extra environment entries.
    PtySession &start_with_env(const std::string &scenario, const std::map<std::string, std::string> &env) {
        write_file("scenario.txt", Bytes(scenario.begin(), scenario.end()));
        SessionOptions o;
        o.program = ROMWRITE_VIRTUAL_BIN;
        o.cwd = dir_.path();
        o.env = env;
        o.env["ROMWRITE_VDEV_SCENARIO"] = dir_.file("scenario.txt");
        o.env["ROMWRITE_VDEV_LOG"] = dir_.file("device.log");
        session_ = std::make_unique<PtySession>(o);
        EXPECT_TRUE(session_->start()) << session_->failure();
        return *session_;
    }
};

TEST_P(Colour, FollowsTheEnvironment) {
    const ColourCase &c = GetParam();
    PtySession &s = start_with_env("device flash=firmware:0x0102:8192\n", c.env);
    EXPECT_SCREEN(s, kDisconnect, kPass);
    ASSERT_TRUE(s.send("q"));
    expect_clean_exit(kPass);

    std::string raw = s.raw();
    std::vector<std::string> sequences = escape_sequences(raw);
    size_t colours = std::count_if(sequences.begin(), sequences.end(),
                                   [](const std::string &seq) { return seq.back() == 'm'; });
    if (c.colour) {
        EXPECT_NE(raw.find(kGreen + crlf(kCrcOkBox) + kNormal), std::string::npos);
        EXPECT_NE(raw.find(kRed + crlf(kStatusNote) + kNormal), std::string::npos);
    } else {
        EXPECT_EQ(colours, 0u) << s.plain();
    }
    EXPECT_EQ(count(raw, kClearScreen), 2u) << "cleared before the wait and at detection";
    EXPECT_NE(s.plain().find(kCrcOkBox + std::string(kStatusNote) + kDisconnect), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Environment, Colour,
                         ::testing::Values(ColourCase{"Xterm", {}, true},
                                           ColourCase{"NoColorSet", {{"NO_COLOR", "1"}}, false},
                                           ColourCase{"NoColorZero", {{"NO_COLOR", "0"}}, false},
                                           ColourCase{"DumbTerminal", {{"TERM", "dumb"}}, false}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

// What the end-to-end tests share: the program's texts, a fixture that runs romwrite-virtual in a
// fresh directory with a scenario, and readers for what the virtual device logged and stored.
#ifndef ROMWRITE_E2E_SUPPORT_H
#define ROMWRITE_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "pty_session.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;

// Bounds for waits. Generous: they only matter when something is wrong.
constexpr int kQuick = 3000;  // text that follows at once
constexpr int kPass = 8000;   // a whole pass, the one-second pause between passes included

extern const char *const kUsage;
extern const char *const kBanner;
extern const char *const kStatusNote;
extern const char *const kCrcOkBox;
extern const char *const kWrongCrcBox;
extern const char *const kDisconnect;
extern const char *const kProgrammed;
extern const char *const kProgrammingError;

// A scenario with one device that holds good firmware 1.2 and stays attached.
extern const char *const kGoodDevice;

// The console's colour sequences.
extern const char *const kGreen;
extern const char *const kRed;
extern const char *const kNormal;

// "\nVelorin device detected.\n" and the three identity lines of a device with these strings.
std::string identity(const std::string &manufacturer, const std::string &product, const std::string &serial);
// The default strings of the first device a scenario plugs in.
std::string default_identity();

// The two version lines as report_versions prints them.
std::string versions(const std::string &bootloader, const std::string &firmware);

// The green box with the new firmware version.
std::string new_version_box(const std::string &version);

// Text as it reaches a terminal that turns every line end into CR LF.
std::string crlf(const std::string &text);

// One block frame as the virtual device logged it.
struct Block {
    int device = 0;
    unsigned address = 0;
    size_t data = 0;
    unsigned sum = 0;
    std::string outcome;
};

// The value of `key=` in a log line, or "" when absent.
std::string field(const std::string &line, const std::string &key);

Bytes seeded(size_t size, uint32_t seed);

class Romwrite : public ::testing::Test {
protected:
    // Starts romwrite-virtual with `args` and the scenario text, in the fixture's directory.
    PtySession &start(const std::string &scenario, const std::vector<std::string> &args = {}, bool terminal = true);

    // Files in the fixture's directory.
    std::string write_file(const std::string &name, const Bytes &bytes);
    // An image file: 196-byte header (marker, default unlock code) and the payload.
    std::string write_image(const std::string &name, const Bytes &payload, uint8_t marker = 1);
    // A firmware payload the device accepts: descriptor with `version`, seeded body.
    static Bytes firmware(uint16_t version, size_t total_size, uint32_t seed = 7);

    // What the virtual device logged, read now.
    std::vector<std::string> log() const;
    std::vector<std::string> log_matching(const std::string &word) const;
    std::vector<Block> blocks() const;
    // Waits (bounded) until at least `count` log lines contain `word`.
    bool wait_for_log(const std::string &word, size_t count, int timeout_ms) const;
    // The flash of device `n` up to its programmed extent, as last written out.
    Bytes flash(int device = 1) const;

    // Waits for an exit with status 0 and the terminal back in the settings it started with.
    void expect_clean_exit(int timeout_ms = kQuick);

    TempDir dir_;
    std::unique_ptr<PtySession> session_;
};

// Bytes of a 4096-byte-or-less chunk rounded up to 64 and padded with zeros.
Bytes padded(const Bytes &payload, size_t from, size_t len);

// The current settings differ from `before` in any flag, speed or control character.
std::string termios_difference(const termios &before, const termios &after);

}  // namespace e2e

// Fails the test with the session's description when an expectation on the screen times out.
// Lets a case table's row print as its name in test lists and failures.
#define CASE_NAMED(Type) \
    friend void PrintTo(const Type &c, std::ostream *os) { *os << c.name; }

#define EXPECT_SCREEN(session, text, ms) ASSERT_TRUE((session).expect((text), (ms))) << (session).failure()

#endif

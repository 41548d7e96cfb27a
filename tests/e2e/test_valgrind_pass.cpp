// romwrite-virtual under valgrind's memcheck for a whole programming pass and the start of the
// next: no invalid access, no uninitialised value steering a decision, no leak.
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "e2e_support.h"
#include "firmware_image.h"

namespace e2e {
namespace {

TEST_F(Romwrite, ProgrammingPassIsCleanUnderMemcheck) {
    if (access(VALGRIND_BIN, X_OK) != 0) GTEST_SKIP() << VALGRIND_BIN << " is missing";
    std::string image = write_image("fw.bin", firmware(0x0207, 10000));
    std::string scenario = "device flash=empty unplug-probes=3\n";
    write_file("scenario.txt", Bytes(scenario.begin(), scenario.end()));
    SessionOptions o;
    o.program = VALGRIND_BIN;
    o.args = {"--quiet", "--error-exitcode=99", "--leak-check=full", "--track-origins=yes",
              "--log-file=" + dir_.file("memcheck.log"), ROMWRITE_VIRTUAL_BIN, image};
    o.cwd = dir_.path();
    o.env["ROMWRITE_VDEV_SCENARIO"] = dir_.file("scenario.txt");
    o.env["ROMWRITE_VDEV_LOG"] = dir_.file("device.log");
    session_ = std::make_unique<PtySession>(o);
    ASSERT_TRUE(session_->start()) << session_->failure();
    PtySession &s = *session_;

    // Under memcheck everything runs many times slower; the bounds are wide accordingly.
    EXPECT_SCREEN(s, kProgrammed, 60000);
    EXPECT_SCREEN(s, kCrcOkBox, 30000);
    EXPECT_SCREEN(s, kDisconnect, 30000);
    // The device leaves, and the next pass waits for another: a key ends the program there.
    EXPECT_SCREEN(s, kBanner, 30000);
    s.settle(500);
    ASSERT_TRUE(s.send("x"));
    ASSERT_TRUE(s.wait_exit(60000)) << s.failure();
    std::ifstream in(dir_.file("memcheck.log"));
    std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(s.exited()) << s.status_text();
    EXPECT_EQ(s.exit_code(), 0) << report;
    EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace e2e

// An image file that fails to read part-way through its payload must not be reported as
// programmed: the operator would ship a device with a truncated firmware. No file on a local
// disk fails on demand, so the image here is a stdio stream whose reads fail after a chosen
// number of payload bytes, handed to program_image against the virtual device.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <hidapi.h>

#include "firmware_image.h"
#include "image.h"
#include "pass.h"
#include "vdev.h"

namespace {

struct FailingSource {
    std::vector<uint8_t> bytes;
    size_t fail_at = 0;  // reads fail once this many bytes have been delivered
    size_t pos = 0;
};

ssize_t failing_read(void *cookie, char *buf, size_t size) {
    auto *src = static_cast<FailingSource *>(cookie);
    if (src->pos >= src->fail_at) return -1;
    size_t n = std::min(size, src->fail_at - src->pos);
    memcpy(buf, src->bytes.data() + src->pos, n);
    src->pos += n;
    return static_cast<ssize_t>(n);
}

// Runs `body` with stdout going to a temporary file and returns what it printed.
template <typename F>
std::string capture_stdout(F body) {
    fflush(stdout);
    FILE *sink = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    rewind(sink);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, sink)) > 0) text.append(buf, n);
    fclose(sink);
    return text;
}

struct ReadErrorCase {
    const char *name;
    size_t fail_after;     // payload bytes readable before the error
    unsigned whole_blocks; // blocks that may go out: only chunks read completely
};

void PrintTo(const ReadErrorCase &c, std::ostream *os) { *os << c.name; }

class ImageReadError : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(ImageReadError, EndsThePassWithoutClaimingTheFlashProgrammed) {
    const ReadErrorCase &c = GetParam();
    vdev::reset();
    int device = vdev::plug(vdev::DevicePlan{});
    hid_device *dev = hid_open(vdev::kPrimaryVendor, vdev::kPrimaryProduct, nullptr);
    ASSERT_NE(dev, nullptr);
    hid_set_nonblocking(dev, 1);

    vdev::Bytes payload = vdev::firmware_payload(0x0203, 3 * 4032 + 100);
    vdev::Bytes header = vdev::image_header(payload);
    FailingSource src{payload, c.fail_after, 0};
    cookie_io_functions_t io{};
    io.read = failing_read;
    FILE *file = fopencookie(&src, "rb", io);
    ASSERT_NE(file, nullptr);

    uint8_t scratch[BOOT_REPORT_SIZE];
    int outcome = PASS_OK;
    std::string text = capture_stdout([&] { outcome = program_image(dev, &file, header.data(), scratch); });
    hid_close(dev);

    EXPECT_EQ(outcome, PASS_IMAGE_FAILED);
    EXPECT_EQ(file, nullptr) << "the image file is closed when the block loop ends";
    EXPECT_EQ(text.find("FLASH Programmed."), std::string::npos) << text;
    EXPECT_NE(text.find("Unlocking FLASH...  FLASH unlocked\nProgramming FLASH"), std::string::npos) << text;
    EXPECT_EQ(std::string(text.end() - static_cast<long>(strlen("  Unable to read the image file.\n")), text.end()),
              "  Unable to read the image file.\n")
        << text;

    vdev::BootloaderModel *model = vdev::model(device);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->counters().blocks, c.whole_blocks) << "a chunk cut short by the error is never sent";
    EXPECT_EQ(model->counters().violations, 0u);
    for (unsigned i = 0; i < c.whole_blocks; ++i) {
        size_t unit = i * 63;
        EXPECT_TRUE(model->unit_programmed(unit)) << "block " << i;
    }
    EXPECT_FALSE(model->unit_programmed(c.whole_blocks * 63)) << "nothing past the last whole chunk";
    // One dot per chunk sent; none for the chunk the error cut short.
    size_t dots = 0;
    for (size_t at = text.find("Programming FLASH") + strlen("Programming FLASH"); at < text.size() && text[at] == '.';
         ++at)
        ++dots;
    EXPECT_EQ(dots, c.whole_blocks);
}

INSTANTIATE_TEST_SUITE_P(
    ReadError, ImageReadError,
    ::testing::Values(ReadErrorCase{"OnTheFirstRead", 0, 0}, ReadErrorCase{"InsideTheFirstChunk", 100, 0},
                      ReadErrorCase{"RightAfterAWholeChunk", 4032, 1},
                      ReadErrorCase{"InsideTheThirdChunk", 2 * 4032 + 17, 2}),
    [](const ::testing::TestParamInfo<ReadErrorCase> &info) { return std::string(info.param.name); });

}  // namespace

// Arbitrary image file contents through the header check and the programming loop, against the
// virtual device in this process. The file is a memfd, so its size is known as a real file's is.
//
// What must hold whatever the file holds: a refused header touches nothing; a wrong unlock code
// sends no block; a pass reported as programmed left exactly the payload in the device's flash,
// padded with zeros to whole 64-byte units.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include <hidapi.h>

#include "image.h"
#include "pass.h"
#include "vdev.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

// The program's console output is not wanted here; standard output is pointed at /dev/null for
// the length of one input and put back afterwards.
struct Quiet {
    Quiet()
    {
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~Quiet()
    {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    int saved;
};

// A flash big enough for every payload the fuzzer tries, small enough to set up for each input.
constexpr size_t kFlashSize = 1 << 15;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int memfd = memfd_create("image", MFD_CLOEXEC);
    check(memfd >= 0);
    check(ftruncate(memfd, 0) == 0);
    check(size == 0 || pwrite(memfd, data, size, 0) == (ssize_t)size);
    check(lseek(memfd, 0, SEEK_SET) == 0);
    FILE *file = fdopen(dup(memfd), "rb");
    check(file != nullptr);

    vdev::reset();
    vdev::DevicePlan plan;
    plan.config.flash_size = kFlashSize;
    int number = vdev::plug(plan);
    hid_device *dev = hid_open(vdev::kPrimaryVendor, vdev::kPrimaryProduct, nullptr);
    check(dev != nullptr);
    hid_set_nonblocking(dev, 1);
    const vdev::BootloaderModel *model = vdev::model(number);

    uint8_t header[IMAGE_HEADER_SIZE];
    uint8_t scratch[BOOT_REPORT_SIZE];
    int header_outcome, outcome = -1;
    {
        Quiet quiet;
        header_outcome = check_image_header(file, header);
        if (header_outcome == PASS_OK)
            outcome = program_image(dev, &file, header, scratch);
    }

    bool header_good = size >= IMAGE_HEADER_SIZE && data[0] == IMAGE_FORMAT_MARKER &&
                       (long long)(size - IMAGE_HEADER_SIZE) <= IMAGE_PAYLOAD_MAX;
    check((header_outcome == PASS_OK) == header_good);
    const vdev::Counters &counted = model->counters();
    if (!header_good) {
        check(counted.frames == 0);
    } else {
        bool code_good = memcmp(data + IMAGE_UNLOCK_OFFSET, vdev::kDefaultUnlockCode.data(),
                                IMAGE_UNLOCK_SIZE) == 0;
        size_t payload = size - IMAGE_HEADER_SIZE;
        if (!code_good) {
            check(outcome == PASS_DEVICE_FAILED && counted.blocks == 0);
        } else if (payload + BLOCK_UNIT <= kFlashSize) {
            check(outcome == PASS_OK && file == nullptr);
            check(counted.violations == 0 && !model->programming_error());
            size_t padded = (payload + BLOCK_UNIT - 1) / BLOCK_UNIT * BLOCK_UNIT;
            check(model->programmed_extent() == padded);
            const vdev::Bytes &flash = model->flash();
            check(std::equal(data + IMAGE_HEADER_SIZE, data + size, flash.begin()));
            for (size_t i = payload; i < padded; i++)
                check(flash[i] == 0);
        }
    }
    if (file)
        fclose(file);
    hid_close(dev);
    return 0;
}

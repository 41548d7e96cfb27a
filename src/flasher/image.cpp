// The image file and flash programming: header check, unlock, and the payload in block frames.
#include "image.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "pass.h"

FILE *open_image(const char *path)
{
    // Opening a named pipe waits for a writer, and no key could end that wait. Without blocking,
    // a pipe with no writer simply reads as empty and its header is refused.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *file = fdopen(fd, "rb");
    if (!file)
        close(fd);
    return file;
}

int check_image_header(FILE *file, uint8_t *header)
{
    size_t got = fread(header, 1, IMAGE_HEADER_SIZE, file);
    if (got < IMAGE_HEADER_SIZE || header[0] != IMAGE_FORMAT_MARKER) {
        console_printf("Unable to read the file header.\n");
        return PASS_IMAGE_FAILED;
    }
    // Refused before the flash is unlocked, so that nothing is written at all.
    struct stat info;
    int fd = fileno(file);
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        long long payload = (long long)info.st_size - IMAGE_HEADER_SIZE;
        if (payload > IMAGE_PAYLOAD_MAX) {
            console_printf("Image payload of %lld bytes is too large: the device can address at "
                           "most %lld bytes.\n",
                           payload, IMAGE_PAYLOAD_MAX);
            return PASS_IMAGE_FAILED;
        }
    }
    return PASS_OK;
}

int unlock_flash(hid_device *dev, const uint8_t *header, uint8_t *scratch)
{
    return boot_write_register(dev, BOOT_REG_UNLOCK, header + IMAGE_UNLOCK_OFFSET,
                               IMAGE_UNLOCK_SIZE) >= 1 &&
           boot_read_register(dev, BOOT_REG_UNLOCK, scratch, 1) >= 1 && scratch[0] == 1;
}

int program_image(hid_device *dev, FILE **file, const uint8_t *header, uint8_t *scratch)
{
    console_printf("\nUnlocking FLASH...  ");
    if (!unlock_flash(dev, header, scratch)) {
        console_printf("Unable to unlock FLASH\n");
        return PASS_DEVICE_FAILED;
    }
    console_printf("FLASH unlocked\nProgramming FLASH");

    const char *message;
    int outcome;
    long long offset = 0;
    for (;;) {
        memset(scratch, 0, BOOT_REPORT_SIZE);
        size_t got = fread(scratch, 1, CHUNK_MAX, *file);
        // A chunk cut short by a read error is not the end of the image: sending it would leave
        // a truncated firmware that is then reported as programmed.
        if (ferror(*file)) {
            message = "  Unable to read the image file.\n";
            outcome = PASS_IMAGE_FAILED;
            break;
        }
        size_t len = (got + BLOCK_UNIT - 1) & ~(size_t)(BLOCK_UNIT - 1);
        if (len != 0) {
            // Only reachable with an image whose size was not known beforehand (a pipe): the
            // address would wrap and overwrite the start of the flash.
            if (offset / BLOCK_UNIT > BOOT_BLOCK_ADDRESS_MAX) {
                console_printf("  Image payload is too large: the device can address at most "
                               "%lld bytes.\n",
                               IMAGE_PAYLOAD_MAX);
                message = "";
                outcome = PASS_IMAGE_FAILED;
                break;
            }
            if (boot_write_block(dev, BOOT_REG_FLASH_DATA, scratch, len,
                                 (uint16_t)(offset / BLOCK_UNIT)) < 1) {
                message = "  FLASH Programming error.\n"
                          "Please detach the device and run the programming utility again.\n";
                outcome = PASS_DEVICE_FAILED;
                break;
            }
        }
        console_printf(".");
        offset += (long long)len;
        if (len < CHUNK_MAX) {
            message = "  FLASH Programmed.\nPlease cycle power to the device.\n";
            outcome = PASS_OK;
            break;
        }
    }
    console_printf("%s", message);
    fclose(*file);
    *file = nullptr;
    return outcome;
}

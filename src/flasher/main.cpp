// romwrite: programs and checks the firmware of devices whose bootloader is a HID device, one
// device after another. With an image file it programs each device; without, it reports status.
#include <hidapi.h>

#include "console.h"
#include "pass.h"

int main(int argc, char **argv)
{
    if (argc != 1 && argc != 2) {
        console_printf("Usage: romwrite binary_fw            to program FLASH\n"
                       "  or\n"
                       "       romwrite                      to read FLASH status\n");
        return 0;
    }
    console_open();
    const char *image_path = argc == 2 ? argv[1] : nullptr;
    while (!run_pass(image_path)) {
    }
    // Every way out after the first pass began comes here, so the library is shut down once,
    // with no device open.
    hid_exit();
    console_close();
    // Whatever happened to the device or the image has been reported on the console.
    return 0;
}

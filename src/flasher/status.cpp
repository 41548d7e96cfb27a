// Status and verification phases: versions, the device's CRC verdict, the new version.
#include "status.h"

#include "boot.h"
#include "console.h"
#include "pass.h"

static const char BOX_BORDER[] = "+---------------------------------+\n";

int report_versions(hid_device *dev)
{
    uint16_t version = 0;
    if (boot_read_word(dev, BOOT_REG_BOOTLOADER_VERSION, &version) < 1) {
        console_printf("Unable to read bootloader version\n");
        return PASS_DEVICE_FAILED;
    }
    console_printf("\nBootloader version:     %d.%d\n", version >> 8, version & 0xFF);

    version = 0;
    if (boot_read_word(dev, BOOT_REG_FIRMWARE_VERSION, &version) < 1) {
        console_printf("Unable to read firmware version\n");
        return PASS_DEVICE_FAILED;
    }
    if (version == FIRMWARE_VERSION_EMPTY)
        console_printf("Firmware version:       FLASH EMPTY\n");
    else
        console_printf("Firmware version:       %d.%d\n", version >> 8, version & 0xFF);
    return PASS_OK;
}

int verify_crc(hid_device *dev, uint8_t *scratch)
{
    console_printf("\nChecking CRC...  \n");
    // Any failure to get the verdict counts as a wrong CRC: the operator must not take a device
    // that could not be checked for a good one.
    int good = boot_write_register(dev, BOOT_REG_CRC, nullptr, 0) >= 1 &&
               boot_read_register(dev, BOOT_REG_CRC, scratch, 1) >= 1 && scratch[0] == 1;
    if (good) {
        console_set_colour(COLOUR_GOOD);
        console_printf("%s", BOX_BORDER);
        console_printf("|              CRC OK             |\n");
        console_printf("%s\n", BOX_BORDER);
    } else {
        console_set_colour(COLOUR_BAD);
        console_printf("%s", BOX_BORDER);
        console_printf("|             WRONG CRC           |\n");
        console_printf("%s", BOX_BORDER);
    }
    console_set_colour(COLOUR_DEFAULT);
    return PASS_OK;
}

void print_status_note(void)
{
    console_set_colour(COLOUR_BAD);
    console_printf("NOTE: A new firmware image has not been programmed.\n"
                   "      The existing firmware has not been modified.\n"
                   "      Provide a command-line FW image file name as a parameter\n"
                   "      to program a new FW image.\n\n");
    console_set_colour(COLOUR_DEFAULT);
}

int report_new_version(hid_device *dev)
{
    uint16_t version = 0;
    if (boot_read_word(dev, BOOT_REG_FIRMWARE_VERSION, &version) < 1) {
        console_printf("Unable to read firmware version\n");
        return PASS_DEVICE_FAILED;
    }
    console_set_colour(COLOUR_GOOD);
    console_printf("%s", BOX_BORDER);
    console_printf("|New firmware version: %d.%d        |\n", version >> 8, version & 0xFF);
    console_printf("%s", BOX_BORDER);
    console_set_colour(COLOUR_DEFAULT);
    return PASS_OK;
}

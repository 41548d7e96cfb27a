// The phases that tell the operator what the device holds.
#ifndef ROMWRITE_STATUS_H
#define ROMWRITE_STATUS_H

#include <stdint.h>

#include <hidapi.h>

// The firmware version register reads this when the flash holds no firmware.
enum { FIRMWARE_VERSION_EMPTY = 0xFFFF };

// Bootloader and firmware version lines. PASS_OK or PASS_DEVICE_FAILED.
int report_versions(hid_device *dev);

// Asks the device for its CRC verdict and shows it in a green or red box. `scratch` takes the
// one-byte reply. Always PASS_OK: a wrong CRC does not stop the pass.
int verify_crc(hid_device *dev, uint8_t *scratch);

// The red note that status mode changed nothing.
void print_status_note(void);

// The firmware version after programming, in a green box. PASS_OK or PASS_DEVICE_FAILED.
int report_new_version(hid_device *dev);

#endif

// The pass loop: one pass per device connection, from the wait for a device to its unplugging.
#ifndef ROMWRITE_PASS_H
#define ROMWRITE_PASS_H

#include <stdio.h>
#include <wchar.h>

#include <hidapi.h>

// How a pass is going. A device that did not answer as required is retried on the next pass; an
// unusable image ends the program after the pass.
enum {
    PASS_OK = 0,
    PASS_DEVICE_FAILED = 1,
    PASS_IMAGE_FAILED = 2,
};

struct device_id {
    unsigned short vendor;
    unsigned short product;
};

// The two identities the bootloader may present, tried in this order.
static const struct device_id DEVICE_ID_PRIMARY = {0x047A, 0xF000};
static const struct device_id DEVICE_ID_SECONDARY = {0x16D0, 0x5544};

enum {
    PASS_STRING_MAX = 256,        // wide characters in the device string buffer
    DISCOVERY_PAUSE_MS = 200,     // between attempts to open a device
    PRESENCE_PAUSE_MS = 100,      // between presence probes while waiting for unplugging
    NEXT_PASS_PAUSE_MS = 1000,    // between one pass and the next
};

// Waits for a device under either identity. Returns it, or null when a key ended the wait (the
// key consumed and the screen cleared).
hid_device *wait_for_device(void);

// The manufacturer, product and serial number lines. `text` holds PASS_STRING_MAX characters.
void print_identity(hid_device *dev, wchar_t *text);

// Probes the device every PRESENCE_PAUSE_MS until it is gone or a key is waiting; the key is
// left waiting.
void wait_for_disconnect(hid_device *dev);

// One pass; `image_path` is null in status mode. Returns nonzero when the program is to end.
int run_pass(const char *image_path);

#endif

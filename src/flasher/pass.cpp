// The pass loop: find a device, identify it, run the phases, wait for it to be unplugged.
#include "pass.h"

#include <stdint.h>
#include <time.h>
#include <wchar.h>

#include "boot.h"
#include "console.h"
#include "image.h"
#include "status.h"

static void pause_ms(int milliseconds)
{
    struct timespec pause = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

static hid_device *open_identity(struct device_id id)
{
    return hid_open(id.vendor, id.product, nullptr);
}

// Discovery rounds in a row that an attached device may refuse to open before the operator is
// told: right after plug-in udev may still be setting the node's permissions.
enum { REFUSED_ROUNDS_BEFORE_HINT = 5 };

// hid_open fails alike when no device is attached and when one is attached that this user may
// not open. Called after a failed open of `id`: when a device of that identity has been there for
// more than REFUSED_ROUNDS_BEFORE_HINT rounds without opening, names its node and the reason once.
static void report_unopenable_device(struct device_id id, int *refused_rounds, int *told)
{
    if (*told)
        return;
    // The reason belongs to hidapi and is replaced by its next call.
    wchar_t reason[128];
    const wchar_t *error = hid_error(nullptr);
    wcsncpy(reason, error ? error : L"unknown reason", 127);
    reason[127] = 0;
    console_make_printable(reason);

    struct hid_device_info *attached = hid_enumerate(id.vendor, id.product);
    if (!attached) {
        *refused_rounds = 0;
        return;
    }
    if (++*refused_rounds > REFUSED_ROUNDS_BEFORE_HINT) {
        // hidapi says "Failed to open a device with path '...': why"; the node is named anyway.
        const wchar_t *why = reason;
        for (const wchar_t *c = reason; *c; c++)
            if (c[0] == L':' && c[1] == L' ')
                why = c + 2;
        console_printf("The device at %s cannot be opened: %ls. Install the udev rule "
                       "70-romwrite.rules (see man romwrite), then unplug the device and plug it "
                       "in again.\n",
                       attached->path ? attached->path : "?", why);
        *told = 1;
    }
    hid_free_enumeration(attached);
}

hid_device *wait_for_device(void)
{
    int refused_primary = 0, refused_secondary = 0, told = 0;
    hid_device *dev = open_identity(DEVICE_ID_PRIMARY);
    while (!dev) {
        report_unopenable_device(DEVICE_ID_PRIMARY, &refused_primary, &told);
        if (console_key_pressed())
            break;
        dev = open_identity(DEVICE_ID_SECONDARY);
        if (!dev)
            report_unopenable_device(DEVICE_ID_SECONDARY, &refused_secondary, &told);
        if (dev || console_key_pressed())
            break;
        pause_ms(DISCOVERY_PAUSE_MS);
        dev = open_identity(DEVICE_ID_PRIMARY);
    }
    if (!dev) {
        console_read_key();
        console_clear();
    }
    return dev;
}

typedef int (*identity_getter)(hid_device *, wchar_t *, size_t);

// Reads one identity string into `text`, saying so when the device would not give it; the line
// is printed with whatever the buffer then holds. Returns the string's first character as the
// device gave it, before anything unprintable is replaced.
static int read_identity_string(hid_device *dev, identity_getter get, wchar_t *text,
                                const char *failure)
{
    // The getter is given one character less than the buffer so that it always ends in a
    // terminator, whatever a device reports.
    const size_t capacity = PASS_STRING_MAX - 1;

    text[0] = 0;
    text[capacity] = 0;
    if (get(dev, text, capacity) < 0)
        console_printf("%s", failure);
    int first = (int)text[0];
    console_make_printable(text);
    return first;
}

void print_identity(hid_device *dev, wchar_t *text)
{
    read_identity_string(dev, hid_get_manufacturer_string, text,
                         "Unable to read manufacturer string\n");
    console_printf("Manufacturer String:    %ls\n", text);

    read_identity_string(dev, hid_get_product_string, text, "Unable to read product string\n");
    console_printf("Product String:         %ls\n", text);

    int first = read_identity_string(dev, hid_get_serial_number_string, text,
                                     "Unable to read serial number string\n");
    console_printf("Serial Number String:   (%d) %ls", first, text);
    console_printf("\n");
}

void wait_for_disconnect(hid_device *dev)
{
    // The device has no unplug notification; a write to a device that is gone fails.
    for (;;) {
        pause_ms(PRESENCE_PAUSE_MS);
        if (boot_write_register(dev, BOOT_REG_CRC, nullptr, 0) < 1)
            return;
        if (console_key_pressed())
            return;
    }
}

int run_pass(const char *image_path)
{
    FILE *image = nullptr;
    uint8_t header[IMAGE_HEADER_SIZE];
    uint8_t scratch[BOOT_REPORT_SIZE];
    wchar_t text[PASS_STRING_MAX];

    console_clear();
    if (image_path) {
        // Opened anew on every pass, so each device gets the image from its start.
        image = open_image(image_path);
        if (!image) {
            console_printf("Could not open file %s\n", image_path);
            return 1;
        }
    }
    console_printf("Velorin Flash Programming Utility Version 1.0\n\n");
    console_printf("Please insert the USB cable now or press any key to exit\n");

    hid_device *dev = wait_for_device();
    if (!dev) {
        if (image)
            fclose(image);
        return 1;
    }
    console_clear();
    console_printf("\nVelorin device detected.\n");
    print_identity(dev, text);
    hid_set_nonblocking(dev, 1);

    int outcome = PASS_OK;
    if (image)
        outcome = check_image_header(image, header);
    if (outcome == PASS_OK)
        outcome = report_versions(dev);
    if (image && outcome == PASS_OK)
        outcome = program_image(dev, &image, header, scratch);
    if (outcome == PASS_OK)
        verify_crc(dev, scratch);
    if (!image_path)
        print_status_note();
    else if (outcome == PASS_OK)
        outcome = report_new_version(dev);
    console_printf("Please disconnect the device.\n");
    if (outcome == PASS_OK)
        wait_for_disconnect(dev);

    hid_close(dev);
    if (image)
        fclose(image);

    if (console_key_pressed()) {
        console_read_key();
        return 1;
    }
    if (outcome == PASS_IMAGE_FAILED)
        return 1;
    pause_ms(NEXT_PASS_PAUSE_MS);
    return 0;
}

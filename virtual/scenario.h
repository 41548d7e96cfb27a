// Scenarios for the virtual device: which devices get plugged in, when, how they behave, and
// when they leave. The text format is described in virtual/README.md. No hidapi types here.
#ifndef VDEV_SCENARIO_H
#define VDEV_SCENARIO_H

#include "bootloader_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vdev {

constexpr uint16_t kPrimaryVendor = 0x047A;
constexpr uint16_t kPrimaryProduct = 0xF000;
constexpr uint16_t kSecondaryVendor = 0x16D0;
constexpr uint16_t kSecondaryProduct = 0x5544;

// Faults of the transport below the bootloader: the hidapi call itself fails (returns -1) and
// the frame never reaches the device.
enum class TransportKind {
    WriteFail,  // counts hid_write calls (only frames to `when.reg` when it is set)
    BlockFail,  // counts hid_write calls carrying block frames
    ReadFail,   // counts hid_read calls
};

struct TransportFault {
    TransportKind kind = TransportKind::WriteFail;
    Trigger when;
    unsigned seen = 0;
    unsigned fired = 0;
};

struct DevicePlan {
    uint16_t vendor_id = kPrimaryVendor;
    uint16_t product_id = kPrimaryProduct;
    std::wstring manufacturer = L"Velorin Ltd";
    std::wstring product = L"Velorin Bootloader";
    std::wstring serial;  // empty: "A" and five digits, 16 + the device number (A00017 first)
    bool fail_manufacturer = false;
    bool fail_product = false;
    bool fail_serial = false;

    Config config;
    std::vector<ReplyFault> reply_faults;
    std::vector<TransportFault> transport_faults;

    // Arrival, counted from the moment the entry's turn comes: after the previous entry's device
    // left, or together with the previous entry when `together` is set.
    bool together = false;
    unsigned arrive_opens = 0;  // hid_open calls that miss it before it is there
    unsigned arrive_ms = 0;

    // Leaving (0: never on this count). Counted from this plug-in.
    unsigned unplug_probes = 0;  // gone right after the N-th data-less write to 0x82
    unsigned unplug_blocks = 0;  // gone right after the N-th block frame
    unsigned unplug_writes = 0;  // gone right after the N-th hid_write
    unsigned unplug_ms = 0;      // gone N ms after it was plugged in

    // Opening: the first `deny_opens` hid_open calls that pick it fail with "Permission
    // denied"; `open_denied` denies every one.
    unsigned deny_opens = 0;
    bool open_denied = false;

    // The same physical device as the previous entry, plugged in again: its flash is kept, the
    // rest of the settings (identity, faults, triggers) come from this entry.
    bool again = false;
};

struct Scenario {
    std::vector<DevicePlan> devices;
    bool loop = false;  // after the last entry, start again from the first with new devices
};

// Parses scenario text. On error returns false with `error` = "line N: what is wrong".
bool parse_scenario(const std::string &text, Scenario &out, std::string &error);

// The built-in production line, used when no scenario file is named.
extern const char *const kProductionLineScenario;

}  // namespace vdev

#endif

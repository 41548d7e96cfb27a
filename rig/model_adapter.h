// The virtual device's bootloader model and image builder, as the rig's scenarios use them.
#ifndef ROMWRITE_RIG_MODEL_ADAPTER_H
#define ROMWRITE_RIG_MODEL_ADAPTER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "uhid_bridge.h"

namespace rig {

struct Firmware {
    std::vector<uint8_t> file;      // the image file as romwrite reads it
    std::vector<uint8_t> payload;   // what should end up in the flash
    uint16_t version = 0;
};

Firmware make_firmware(size_t payload_size, uint16_t version, uint32_t seed);

// One device's bootloader. Called from the transport's thread while plugged, from the scenario's
// thread only while unplugged.
class Bootloader {
public:
    // An empty flash, or one already holding `installed`.
    explicit Bootloader(const Firmware *installed);
    ~Bootloader();

    std::vector<Report> receive(const Report &report);
    // The device loses power (unplugged): volatile state such as the unlock goes, the flash stays.
    void power_cycle();
    // From now on, read requests for `reg` go unanswered.
    void ignore_reads_of(uint8_t reg);

    std::vector<uint8_t> flash(size_t size) const;
    uint16_t bootloader_version() const;
    unsigned blocks_written() const;     // well-formed block frames since it was made
    unsigned malformed_frames() const;   // frames that reached it damaged or cut short

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rig

#endif

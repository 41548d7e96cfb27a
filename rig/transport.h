// How the rig attaches a bootloader to the guest kernel: through uhid, or as a real USB device on
// a dummy host controller. The scenarios see only this.
#ifndef ROMWRITE_RIG_TRANSPORT_H
#define ROMWRITE_RIG_TRANSPORT_H

#include <memory>
#include <string>

#include "uhid_bridge.h"

namespace rig {

class Transport {
public:
    virtual ~Transport() = default;
    virtual bool start() = 0;
    virtual bool plug() = 0;
    virtual bool unplug() = 0;
    virtual bool plugged() const = 0;
    virtual void vanish_after_blocks(unsigned count) = 0;
    virtual BridgeCounters counters() const = 0;
    virtual std::string error() const = 0;

    // What romwrite should print as the three identity strings on this route.
    virtual std::string expected_manufacturer() const = 0;
    virtual std::string expected_product() const = 0;
    virtual std::string expected_serial() const = 0;
};

std::unique_ptr<Transport> make_uhid_transport(const DeviceIdentity &identity, ReportHandler handler);
// A USB HID device on the dummy host controller, played through FunctionFS. The controller's
// speed is fixed when its module is loaded; the transport checks that the host agrees.
std::unique_ptr<Transport> make_usb_transport(const DeviceIdentity &identity, ReportHandler handler,
                                              bool high_speed);

}  // namespace rig

#endif

#include "transport.h"

namespace rig {

namespace {

class UhidTransport : public Transport {
public:
    UhidTransport(const DeviceIdentity &identity, ReportHandler handler)
        : identity_(identity), bridge_(identity, std::move(handler)) {}

    bool start() override { return bridge_.start(); }
    bool plug() override { return bridge_.plug(); }
    bool unplug() override { return bridge_.unplug(); }
    bool plugged() const override { return bridge_.plugged(); }
    void vanish_after_blocks(unsigned count) override { bridge_.vanish_after_blocks(count); }
    BridgeCounters counters() const override { return bridge_.counters(); }
    std::string error() const override { return bridge_.error(); }

    // hidraw has no manufacturer for a uhid device; the product string is the device's name and
    // the serial number its unique ID.
    std::string expected_manufacturer() const override { return ""; }
    std::string expected_product() const override { return identity_.name; }
    std::string expected_serial() const override { return identity_.serial; }

private:
    DeviceIdentity identity_;
    UhidBridge bridge_;
};

}  // namespace

std::unique_ptr<Transport> make_uhid_transport(const DeviceIdentity &identity, ReportHandler handler) {
    return std::make_unique<UhidTransport>(identity, std::move(handler));
}

}  // namespace rig

#include "model_adapter.h"

#include "bootloader_model.h"
#include "firmware_image.h"

namespace rig {

Firmware make_firmware(size_t payload_size, uint16_t version, uint32_t seed) {
    Firmware fw;
    fw.payload = vdev::firmware_payload(version, payload_size, seed);
    fw.file = vdev::make_image(fw.payload);
    fw.version = version;
    return fw;
}

struct Bootloader::Impl {
    vdev::BootloaderModel model;
    explicit Impl(vdev::Config config) : model(std::move(config)) {}
};

namespace {

vdev::Config config_for(const Firmware *installed) {
    vdev::Config config;
    if (installed) config.initial_flash = installed->payload;
    return config;
}

}  // namespace

Bootloader::Bootloader(const Firmware *installed) : impl_(std::make_unique<Impl>(config_for(installed))) {}
Bootloader::~Bootloader() = default;

std::vector<Report> Bootloader::receive(const Report &report) {
    return impl_->model.receive(report.data(), report.size());
}

void Bootloader::power_cycle() { impl_->model.power_cycle(); }

void Bootloader::ignore_reads_of(uint8_t reg) {
    vdev::ReplyFault fault;
    fault.kind = vdev::ReplyKind::NoReply;
    fault.when.reg = reg;
    impl_->model.add_fault(fault);
}

std::vector<uint8_t> Bootloader::flash(size_t size) const {
    const vdev::Bytes &f = impl_->model.flash();
    size_t n = size < f.size() ? size : f.size();
    return std::vector<uint8_t>(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
}

uint16_t Bootloader::bootloader_version() const { return impl_->model.bootloader_version(); }

unsigned Bootloader::blocks_written() const { return impl_->model.counters().blocks; }

unsigned Bootloader::malformed_frames() const { return impl_->model.counters().violations; }

}  // namespace rig

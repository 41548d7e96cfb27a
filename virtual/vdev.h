// In-process control of the virtual hidapi backend, for tests. The program itself never includes
// this: it sees only hidapi.h and finds devices as the scenario plugs them in.
//
// Device numbers start at 1 and grow with each new physical device (a device plugged in again
// keeps its number). Every call works on the backend's one global world; tests call reset()
// first. Once reset() or a load has run, the environment (ROMWRITE_VDEV_SCENARIO and friends) is
// no longer consulted by hid_init/hid_open.
#ifndef VDEV_VDEV_H
#define VDEV_VDEV_H

#include "bootloader_model.h"
#include "scenario.h"

#include <string>
#include <vector>

namespace vdev {

// No devices, no scenario, no log lines, all counters zero. Open handles become invalid.
void reset();

// Replaces the scenario (as reset() first). The first entries whose turn has come are plugged
// in at once when their arrival needs no opens or time. Returns false on malformed text.
bool load_scenario_text(const std::string &text, std::string *error = nullptr);
void load_scenario(const Scenario &scenario);

// Plugs a device in right now, outside any scenario. Returns its number.
int plug(const DevicePlan &plan);
void unplug(int device);
bool attached(int device);
// The numbers of every device seen so far, in order.
std::vector<int> devices();

// The device's bootloader model (flash, frames, counters); nullptr for an unknown number.
BootloaderModel *model(int device);

void add_reply_fault(int device, const ReplyFault &fault);
void add_transport_fault(int device, const TransportFault &fault);

// Queues a raw input report, as if the device had sent it unasked; `empty_polls` reads return 0
// before it can be read.
void inject_input(int device, const Bytes &report, unsigned empty_polls = 0);
// Input reports waiting to be read (empty polls not counted).
size_t pending_input(int device);

// hidapi calls made on the device's handles since it was last plugged in.
struct CallCounts {
    unsigned opens = 0;
    unsigned closes = 0;
    unsigned writes = 0;
    unsigned reads = 0;
};
CallCounts calls(int device);
// hid_open calls in all, found or not.
unsigned open_calls();

// Every log line so far (the same lines ROMWRITE_VDEV_LOG receives), oldest first; at most the
// last 100000 are kept.
const std::vector<std::string> &log_lines();

}  // namespace vdev

#endif

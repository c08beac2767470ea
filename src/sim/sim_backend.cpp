// The simulated instrument as the driver backend of an artifact: linked in place of the system's
// driver, so that every request of the library reaches the simulated driver. Kept apart from the
// simulated driver itself, so that a program can run the simulated instrument behind another
// backend (an emulated USB device, a test kernel driver) without claiming the seam.
#include "platform/driver.h"
#include "sim/sim_driver.h"

namespace mv620::platform {

DriverBackend& driverBackend() noexcept { return sim::SimDriver::instance(); }

} // namespace mv620::platform

// The driver backend where no kernel driver for the instrument exists: the device never opens,
// so the library behaves exactly as with no instrument attached.
#include "platform/driver.h"

namespace mv620::platform {
namespace {

class NullDriver final : public DriverBackend {
public:
    DeviceHandle open(const char* /*path*/) noexcept override { return kInvalidDevice; }

    bool control(DeviceHandle /*handle*/, std::uint32_t /*code*/, const void* /*in*/,
                 std::uint32_t /*inLength*/, void* /*out*/, std::uint32_t /*outLength*/,
                 std::uint32_t* bytesReturned) noexcept override {
        if (bytesReturned != nullptr) {
            *bytesReturned = 0;
        }
        return false;
    }

    void close(DeviceHandle /*handle*/) noexcept override {}
};

} // namespace

DriverBackend& driverBackend() noexcept {
    static NullDriver driver; // trivially destructible in effect: it holds nothing
    return driver;
}

} // namespace mv620::platform

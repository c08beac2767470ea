#include "context/library_lifetime.h"

#include "acquisition/acquisition.h"
#include "platform/driver.h"

namespace mv620 {

int resetLibraryState() noexcept {
    acquisition::resetAcquisition();
    return 1;
}

namespace {

// Load and unload. The library's static objects are constructed when it is loaded (before the
// host can call anything, on every platform and also when it is linked statically) and destroyed
// when it is unloaded.
struct LibraryLifetime {
    LibraryLifetime() noexcept {
        // The driver backend first: whatever it keeps in static storage is then made before this
        // object and destroyed after it, so the unload's stop below still finds it in place.
        static_cast<void>(platform::driverBackend());
        resetLibraryState();
    }
    ~LibraryLifetime() { acquisition::stopAtUnload(); }
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

const LibraryLifetime lifetime;

} // namespace

} // namespace mv620

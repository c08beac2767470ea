#include "platform/clock.h"

#include <atomic>

namespace mv620::platform {
namespace {

// The installed source, or null for the system counter. Written by setTickSource on any thread
// and read by every tick reading: relaxed is enough, since the source is a plain function whose
// code needs no publication, and a reading that still uses the previous source is harmless.
std::atomic<TickSource> installedSource{nullptr};

} // namespace

std::uint32_t tickCount() noexcept {
    const TickSource source = installedSource.load(std::memory_order_relaxed);
    return source != nullptr ? source() : detail::systemTicks();
}

void setTickSource(TickSource source) noexcept {
    installedSource.store(source, std::memory_order_relaxed);
}

} // namespace mv620::platform

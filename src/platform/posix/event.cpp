#include <chrono>

#include "platform/event.h"

namespace mv620::platform {

AutoResetEvent::AutoResetEvent() noexcept = default;
AutoResetEvent::~AutoResetEvent() = default;

bool AutoResetEvent::valid() const noexcept { return true; }

void AutoResetEvent::set() noexcept {
    {
        const std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    signalledChanged_.notify_one();
}

std::uint32_t AutoResetEvent::wait() noexcept {
    std::unique_lock lock(mutex_);
    signalledChanged_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
    return kSignalled;
}

std::uint32_t AutoResetEvent::waitFor(std::uint32_t milliseconds) noexcept {
    std::unique_lock lock(mutex_);
    if (!signalledChanged_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                    [this] { return signalled_; })) {
        return kTimedOut;
    }
    signalled_ = false;
    return kSignalled;
}

} // namespace mv620::platform

// The auto-reset event that tells a waiting host thread that the acquisition thread has ended.
#pragma once

#include <cstdint>

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace mv620::platform {

// An auto-reset event without a name: one set() releases one wait(); a set() that no wait has
// consumed stays pending; set() on a signalled event changes nothing. Created unsignalled.
class AutoResetEvent {
public:
    // The wait's result, with the values of WaitForSingleObject.
    static constexpr std::uint32_t kSignalled = 0;           // WAIT_OBJECT_0
    static constexpr std::uint32_t kTimedOut = 0x102;        // WAIT_TIMEOUT
    static constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF; // WAIT_FAILED

    AutoResetEvent() noexcept;
    ~AutoResetEvent();
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    // False when the platform could not create the event; every wait then fails.
    [[nodiscard]] bool valid() const noexcept;

    // Signals the event. Any thread.
    void set() noexcept;

    // Waits until the event is signalled and consumes the signal. Returns kSignalled, or
    // kWaitFailed when the event does not exist. Any thread.
    std::uint32_t wait() noexcept;

    // As wait(), giving up after `milliseconds` with kTimedOut. Used only at unload, where an
    // endless wait could hang the host.
    std::uint32_t waitFor(std::uint32_t milliseconds) noexcept;

private:
#if defined(_WIN32)
    void* handle_; // the event's HANDLE; <windows.h> stays out of the library's portable code
#else
    std::mutex mutex_;
    std::condition_variable signalledChanged_;
    bool signalled_ = false;
#endif
};

} // namespace mv620::platform

// The simulated EZ-USB driver: the driver backend that answers the library's six control codes
// from the firmware model, strictly. Every request whose parameters differ from the exact blocks
// the instrument's driver expects is refused (false) and counted, so that a test sees any
// deviation of the library's requests.
#pragma once

#include "platform/driver.h"
#include "platform/thread_safety.h"
#include "sim/bounded_log.h"
#include "sim/fair_mutex.h"
#include "sim/firmware_model.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

namespace mv620::sim {

inline constexpr std::size_t kLoggedInputBytes = 16;

struct RequestRecord {
    std::uint32_t code = 0;
    std::int64_t handle = 0;
    std::uint32_t inLength = 0;
    std::uint32_t outLength = 0;
    std::uint32_t bytesReturned = 0;
    bool result = false;
    bool refused = false; // malformed, on a handle that is not open, or an unknown code
    std::array<std::uint8_t, kLoggedInputBytes> in{}; // the first input bytes
};

struct RequestStats {
    std::uint64_t issued = 0;
    std::uint64_t succeeded = 0;
    std::uint64_t refused = 0;
};

// What the stats are kept for: opens, closes, requests with codes the driver does not know, and
// each of the six codes.
enum class StatsSlot : std::size_t {
    Open,
    Close,
    UnknownCode,
    Descriptor,
    VendorRequest,
    BulkRead,
    BulkWrite,
    AbortPipe,
    ResetPipe,
    Count
};

StatsSlot statsSlotOf(std::uint32_t code) noexcept;

// Whether a request's lengths and parameter block are exactly what the instrument's driver
// takes for `code`. Does not look at handles.
bool requestWellFormed(std::uint32_t code, const std::uint8_t* in, std::uint32_t inLength,
                       const void* out, std::uint32_t outLength) noexcept;

struct MessageRecord {
    void* window = nullptr;
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

// Everything the driver and the instrument hold, guarded by the driver's lock.
struct DriverState {
    explicit DriverState(const InstrumentSettings& settings) { model.reset(settings); }

    FirmwareModel model;
    BoundedLog<RequestRecord> requests;
    std::array<RequestStats, static_cast<std::size_t>(StatsSlot::Count)> stats{};
    std::uint64_t malformed = 0;
    BoundedLog<MessageRecord> messages;
    std::map<platform::DeviceHandle, std::uint32_t> handles; // open handle -> plug generation
    platform::DeviceHandle nextHandle = 1;
    // False: every successful request reports 0 bytes returned, as a driver that never fills in
    // the count does.
    bool byteCountsReported = true;

    RequestStats& statsFor(StatsSlot slot) noexcept {
        return stats[static_cast<std::size_t>(slot)];
    }
    // Back to a healthy instrument with `settings`; open handles stay open.
    void reset(const InstrumentSettings& settings);
};

class SimDriver final : public platform::DriverBackend {
public:
    explicit SimDriver(const InstrumentSettings& settings = InstrumentSettings{},
                       std::uint32_t requestMicroseconds = 0)
        : requestMicroseconds_(requestMicroseconds), state_(settings) {}

    // The simulated instrument of this process, set up from the environment on first use (the
    // library's load) and destroyed when the module is unloaded, after the library has stopped
    // its acquisition thread.
    static SimDriver& instance() noexcept;

    platform::DeviceHandle open(const char* path) noexcept override;
    bool control(platform::DeviceHandle handle, std::uint32_t code, const void* in,
                 std::uint32_t inLength, void* out, std::uint32_t outLength,
                 std::uint32_t* bytesReturned) noexcept override;
    void close(platform::DeviceHandle handle) noexcept override;

    void recordMessage(void* window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) noexcept;

    // The time every request takes, spent sleeping outside the driver's locks (see
    // sim_environment.h). Any thread.
    void setRequestMicroseconds(std::uint32_t microseconds) noexcept {
        requestMicroseconds_.store(microseconds, std::memory_order_relaxed);
    }

    // Runs `f` on the state under the driver's lock. `f` must not block.
    template <typename F> decltype(auto) withState(F&& f) {
        const platform::ScopedLock<FairMutex> lock(mutex_);
        return std::forward<F>(f)(state_);
    }

private:
    // What a request is, before it reaches the instrument: refused (malformed, or on a handle
    // that is not open), failed (the device is gone), or to be carried out.
    enum class Admission { Refused, DeviceGone, Carry };
    Admission admit(platform::DeviceHandle handle, std::uint32_t code, const std::uint8_t* in,
                    std::uint32_t inLength, const void* out, std::uint32_t outLength,
                    RequestRecord& record) MV620_REQUIRES(mutex_);
    bool finish(RequestRecord& record, std::uint32_t returned,
                std::uint32_t* bytesReturned) noexcept MV620_REQUIRES(mutex_);
    bool readPipe(platform::DeviceHandle handle, const std::uint8_t* in, std::uint32_t inLength,
                  void* out, std::uint32_t outLength, std::uint32_t* bytesReturned) noexcept
        MV620_EXCLUDES(mutex_, readLock_);
    // Carries out a planned read, holding readLock_ alone. The model's fillRead touches nothing
    // that planRead or any other request does (the block's samples, the host's buffer), so it
    // runs without the state's lock; the analysis, which knows only that state_ as a whole is
    // guarded, is told so here.
    void fillRead(const PipeRead& read, std::uint8_t* out) noexcept
        MV620_REQUIRES(readLock_) MV620_NO_THREAD_SAFETY_ANALYSIS;
    bool dispatch(std::uint32_t code, const std::uint8_t* in, void* out, std::uint32_t outLength,
                  std::uint32_t& returned) MV620_REQUIRES(mutex_);
    void takeRequestTime() const noexcept;

    // Relaxed: a value on its own, read by each request.
    std::atomic<std::uint32_t> requestMicroseconds_;

    // The lock of the state: every request and every call of the C API takes it for a short
    // moment, and is served in turn. Reads of the read pipe also take readLock_ for their whole
    // length (one read at a time, as on the instrument's pipe); they make and copy the block's
    // samples holding readLock_ alone. Order: readLock_ before mutex_.
    FairMutex mutex_;
    platform::Mutex readLock_ MV620_ACQUIRED_BEFORE(mutex_);
    DriverState state_ MV620_GUARDED_BY(mutex_);
};

} // namespace mv620::sim

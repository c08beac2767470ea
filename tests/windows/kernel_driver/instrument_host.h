// The instrument behind the test kernel driver: a named-pipe server, in the test program itself,
// that answers every request the driver forwards (forwarding.h) from the simulated EZ-USB driver
// of this process (sim::SimDriver::instance(), the one the MV620Sim_ functions set up and
// inspect), and keeps a log of everything the driver reported.
//
// One session is one file object on \Device\Ezusb-0, so one handle of the library: the create
// opens a handle of the simulated driver, each control request is one call of its control, the
// close closes it. The sessions of this process come on one connection of the driver's (a new
// one should that connection break); a session outlives the connection it began on.
#pragma once

#include "forwarding.h"

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace mv620::kerneltest {

// One message of the driver, with the host's answer when it was one that is answered.
struct DriverEvent {
    ForwardedRequest request{};
    std::uint32_t file = 0; // the session: the driver's number of the file object
    bool answered = false;  // a create or a control request, answered
    bool succeeded = false; // the reply's verdict
    bool gone = false;      // a failure because the instrument is gone
    std::uint32_t bytesReturned = 0;
    std::uint32_t dataLength = 0;       // bytes sent back for the caller's output buffer
    std::array<std::uint8_t, 16> in{};  // the first input bytes of a control request
    std::array<std::uint8_t, 16> out{}; // the first bytes sent back for the output buffer
};

class InstrumentHost {
public:
    // The host of this process: its first pipe instance exists before this returns, so the
    // driver finds it from the first request on. It serves until the process ends.
    static InstrumentHost& instance();

    InstrumentHost(const InstrumentHost&) = delete;
    InstrumentHost& operator=(const InstrumentHost&) = delete;

    // Everything the driver reported since the last clear, in the order it arrived.
    [[nodiscard]] std::vector<DriverEvent> events() const;
    void clearEvents();

    // Sessions open now (file objects of the driver that are not closed).
    [[nodiscard]] int openFiles() const;

    // Why the host could not serve (another program serving the pipe, no pipe at all); empty
    // when it serves.
    [[nodiscard]] const char* failure() const { return failure_; }

private:
    InstrumentHost();
    void listen(void* firstInstance);
    void serve(void* pipe);
    void record(const DriverEvent& event);
    // Whether the simulated driver's handle `handle` can no longer reach the instrument.
    static bool goneFor(std::intptr_t handle);

    mutable std::mutex mutex_;
    std::vector<DriverEvent> events_;
    std::map<std::uint32_t, std::intptr_t> files_; // session -> handle of the simulated driver
    const char* failure_ = "";
};

} // namespace mv620::kerneltest

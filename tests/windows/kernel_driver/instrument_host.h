// The instrument behind the test kernel driver: a named-pipe server, in the test program itself,
// that answers every request the driver forwards (forwarding.h) from the simulated EZ-USB driver
// of this process (sim::SimDriver::instance(), the one the MV620Sim_ functions set up and
// inspect), and keeps a log of everything the driver reported.
//
// One connection is one file object on \Device\Ezusb-0, so one handle of the library: the create
// opens a handle of the simulated driver, each control request is one call of its control, the
// close closes it. A connection that breaks without a close closes its handle too.
#pragma once

#include "forwarding.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

namespace mv620::kerneltest {

// One message of the driver, with the host's answer when it was one that is answered.
struct DriverEvent {
    ForwardedRequest request{};
    std::uint32_t connection = 0; // the connection it came on, numbered from 1
    bool answered = false;        // a create or a control request, answered
    bool succeeded = false;       // the reply's verdict
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

    // Connections open now (file objects of the driver that are not closed).
    [[nodiscard]] int openConnections() const;

    // Why the host could not serve (another program serving the pipe, no pipe at all); empty
    // when it serves.
    [[nodiscard]] const char* failure() const { return failure_; }

private:
    InstrumentHost();
    void listen(void* firstInstance);
    void serve(void* pipe, std::uint32_t connection);
    void record(const DriverEvent& event);

    mutable std::mutex mutex_;
    std::vector<DriverEvent> events_;
    int openConnections_ = 0;
    std::uint32_t connections_ = 0; // the listener thread's alone
    const char* failure_ = "";
};

} // namespace mv620::kerneltest

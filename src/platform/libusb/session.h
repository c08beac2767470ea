// The libusb backend's sessions and connections: the open, claimed instrument that every handle
// shares, and the table of handles.
//
// Every open handle shares one open libusb device (a session), counted by reference: the first
// open finds and claims the instrument, the last close releases it. Once the instrument is gone
// (libusb reports no device), every request on every handle of that session fails at once
// without touching the bus, until the handles are closed; an open made after that starts a new
// session, which finds the instrument again once it is back.
//
// Pipe 0 (the read pipe) is interface 0's bulk IN endpoint and pipe 1 (the write pipe) its bulk
// OUT endpoint, the first of each in alternate setting 0, whatever their order and addresses. A
// device with the instrument's IDs that lacks either is not the instrument as the firmware makes
// it: it is not opened, and the library says why once on stderr, since nothing else would tell.
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/driver.h"
#include "platform/thread_safety.h"

namespace mv620::platform::usb {

struct Pipes {
    std::uint8_t read = 0;
    std::uint8_t write = 0;
};

class Connection;

// One open libusb device with interface 0 claimed, shared by every handle opened while it lives.
class Session {
public:
    Session(libusb_context* context, libusb_device_handle* device, Pipes pipes) noexcept
        : context_(context), device_(device), pipes_(pipes) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Finds and opens the instrument (device_choice.h) and claims interface 0; null when there is
    // none, or no access to it (permissions, another program holds it).
    static std::shared_ptr<Session> open() noexcept;

    libusb_context* context() const noexcept { return context_; }
    libusb_device_handle* device() const noexcept { return device_; }

    // The endpoint address of driver pipe `pipe`, or nothing when the interface has no such pipe.
    std::optional<std::uint8_t> endpointOf(std::uint32_t pipe) const noexcept {
        switch (pipe) {
        case 0:
            return pipes_.read;
        case 1:
            return pipes_.write;
        default:
            return std::nullopt;
        }
    }

    bool gone() const noexcept { return gone_.load(std::memory_order_relaxed); }
    void markGone() noexcept { gone_.store(true, std::memory_order_relaxed); }

    // Whether a bulk endpoint halted and has not been reset since (see the outcomes in
    // requests.cpp).
    bool halted(std::uint8_t endpoint) const noexcept {
        return (halted_.load(std::memory_order_relaxed) & haltBit(endpoint)) != 0;
    }
    void markHalted(std::uint8_t endpoint) noexcept {
        halted_.fetch_or(haltBit(endpoint), std::memory_order_relaxed);
    }
    void clearHalted(std::uint8_t endpoint) noexcept {
        halted_.fetch_and(~haltBit(endpoint), std::memory_order_relaxed);
    }

private:
    libusb_context* context_;
    libusb_device_handle* device_;
    Pipes pipes_;

    // Set by whichever connection's request first finds the instrument gone, read before every
    // request on every connection of the session. Relaxed: the flag publishes nothing else, and a
    // request that starts just before it is seen fails on its own, with the same no-device
    // result that set it.
    std::atomic<bool> gone_{false};

    // One bit per endpoint address (number and direction). Set by the request that met the
    // halt, cleared by the reset of its pipe, read before each bulk request; the acquisition
    // thread makes all three on the read pipe. Relaxed: the bits publish nothing else.
    static std::uint32_t haltBit(std::uint8_t endpoint) noexcept {
        return 1U << ((endpoint & 0x0FU) | ((endpoint & LIBUSB_ENDPOINT_IN) != 0 ? 16U : 0U));
    }
    std::atomic<std::uint32_t> halted_{0};
};

// The completion callback of every transfer: sets the connection's `done` flag.
void LIBUSB_CALL onTransferDone(libusb_transfer* transfer);

// One handle: the session it shares, and the one transfer it reuses for all of its requests (a
// handle is used by one thread at a time, so it never has two transfers in flight).
class Connection {
public:
    Connection(std::shared_ptr<Session> session, libusb_transfer* transfer,
               DeviceHandle handle) noexcept
        : session_(std::move(session)), transfer_(transfer), handle_(handle) {}
    ~Connection() { libusb_free_transfer(transfer_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::shared_ptr<Session>& session() const noexcept { return session_; }
    libusb_transfer* transfer() const noexcept { return transfer_; }
    DeviceHandle handle() const noexcept { return handle_; }

    // The buffer of control transfers: the setup packet, then the data stage.
    std::vector<std::uint8_t> controlBuffer;

    // Set to 1 by the completion callback, on whichever thread handles libusb's events; read by
    // the thread that submitted, through std::atomic_ref, and by libusb's event loop, which takes
    // it as a plain int* to know when to stop waiting. Release in the callback, acquire in the
    // waiter: libusb stores the transfer's status and byte count before it calls back, and the
    // waiter reads them after it has seen the flag.
    int done = 0;

private:
    std::shared_ptr<Session> session_;
    libusb_transfer* transfer_;
    DeviceHandle handle_;
};

// The table of open handles, and the backend's lock.
class Connections {
public:
    // A new handle on the current session, opening one when there is none or it is gone;
    // kInvalidDevice when no instrument can be opened.
    DeviceHandle open() noexcept MV620_EXCLUDES(mutex_);
    void close(DeviceHandle handle) noexcept MV620_EXCLUDES(mutex_);
    // Whether the handle's session found the instrument gone.
    bool gone(DeviceHandle handle) noexcept MV620_EXCLUDES(mutex_);
    // The handle's connection, or null. Only the thread that uses a handle closes it, so the
    // connection outlives that thread's request once the lock is released.
    Connection* find(DeviceHandle handle) noexcept MV620_EXCLUDES(mutex_);

    // Submits the connection's bulk transfer and registers it for the abort, under the lock, so
    // that an abort sees the transfer exactly while it may be in flight, and never cancels a later
    // request of this connection by mistake. Returns libusb's result of the submission.
    int submitForAbort(Connection& connection) noexcept MV620_EXCLUDES(mutex_);
    // The registered transfer has ended.
    void unregister(Connection& connection) noexcept MV620_EXCLUDES(mutex_);
    // Cancels every transfer pending on the endpoint, on any connection of the session.
    void cancelPending(const Session& session, std::uint8_t endpoint) noexcept
        MV620_EXCLUDES(mutex_);

private:
    struct Entry {
        std::unique_ptr<Connection> connection;
        // The endpoint of the connection's bulk transfer in flight, or kNoEndpoint: the abort
        // reads it to find the transfers to cancel.
        int pendingEndpoint = kNoEndpoint;
    };
    static constexpr int kNoEndpoint = -1;

    // The only lock of the library: it guards opening and releasing the shared device, the table
    // of handles and each connection's pending endpoint. It is never held while a transfer runs;
    // opening and releasing the device happen under it, so that they never overlap.
    Mutex mutex_;
    std::map<DeviceHandle, Entry> entries_ MV620_GUARDED_BY(mutex_);
    // The session that new handles join, while it lives.
    std::weak_ptr<Session> current_ MV620_GUARDED_BY(mutex_);
    DeviceHandle nextHandle_ MV620_GUARDED_BY(mutex_) = 1;
};

} // namespace mv620::platform::usb

// A tiny TCP wrapper for the demo, over BSD sockets (POSIX) or Winsock 2 (Windows): loopback only
// (127.0.0.1), non-blocking sockets, and every wait bounded by a deadline.
//
// Contract:
// - Startup must succeed once before any other call (it starts Winsock; on POSIX it does nothing).
// - Every socket this file makes is non-blocking with Nagle's algorithm off; the calls wait with
//   poll (POSIX) or select (Windows) and never block past their deadline. NoDeadline() waits for
//   ever.
// - Sending never raises SIGPIPE; a peer that is gone is reported as Closed or Failed.
// - A Socket is owned by one thread at a time; the functions are thread-safe for distinct sockets.
// - Errors carry the system's code (errno or WSAGetLastError); nothing throws but std::bad_alloc.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vqdemo::net {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
inline Deadline NoDeadline() {
    return Deadline::max();
}
inline Deadline DeadlineIn(std::chrono::milliseconds timeout) {
    return Clock::now() + timeout;
}

#if defined(_WIN32)
using NativeSocket = std::uintptr_t;  // SOCKET
#else
using NativeSocket = int;
#endif

enum class Status {
    Ok,
    TimedOut,  // the deadline passed first
    Closed,    // the peer closed the connection (end of stream)
    Failed,    // a system error; see the error code
};

struct IoResult {
    Status status = Status::Ok;
    std::size_t done = 0;  // bytes transferred before the result
    int error = 0;
};

bool Startup(std::string* error);

// Owns one socket; closes it on destruction. Move-only.
class Socket {
  public:
    Socket() = default;
    explicit Socket(NativeSocket handle) : m_handle(handle) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : m_handle(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Valid() const;
    NativeSocket Native() const { return m_handle; }
    void Close();

  private:
    NativeSocket Release();

    NativeSocket m_handle = Invalid();
    static NativeSocket Invalid();
};

// A listening socket on 127.0.0.1:`port` (0: an ephemeral port); `boundPort` receives the port.
Status Listen(std::uint16_t port, Socket* listener, std::uint16_t* boundPort, int* error);
// Takes the next connection, waiting until `deadline`.
Status Accept(const Socket& listener, Deadline deadline, Socket* connection, int* error);
// Connects to 127.0.0.1:`port` by `deadline`; a refused connection is Failed.
Status Connect(std::uint16_t port, Deadline deadline, Socket* connection, int* error);

IoResult SendAll(const Socket& socket, const void* data, std::size_t size, Deadline deadline);
// Closed when the stream ends before `size` bytes (`done` tells how many came).
IoResult ReceiveAll(const Socket& socket, void* data, std::size_t size, Deadline deadline);

// Ok when data or the end of the stream can be read without waiting.
Status WaitReadable(const Socket& socket, Deadline deadline);

// For a connection that should be idle: true when its peer has closed or reset it, or has sent
// bytes nobody asked for. Does not wait.
bool IdleConnectionBroken(const Socket& socket);

// Ends a connection without losing what was last sent: a close with unread input would reset the
// connection, and the peer might lose an answer it has not read yet. Stops sending, reads and
// drops input until the peer closes or `deadline`, then closes.
void CloseGracefully(Socket& socket, Deadline deadline);
// The steps of CloseGracefully, for a caller that drains many sockets without waiting on each:
// stop sending; then read and drop input until `deadline`, true once the stream has ended (or
// failed).
void ShutdownSend(const Socket& socket);
bool DrainToEnd(const Socket& socket, Deadline deadline);

std::string ErrorText(int error);

}  // namespace vqdemo::net

#include "protocol/socket.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <system_error>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vqdemo::net {

namespace {

#if defined(_WIN32)
int LastError() {
    return WSAGetLastError();
}
bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}
bool Interrupted(int error) {
    return error == WSAEINTR;
}
bool ConnectPending(int error) {
    return error == WSAEWOULDBLOCK;
}
constexpr int kSendFlags = 0;
#else
int LastError() {
    return errno;
}
bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}
bool Interrupted(int error) {
    return error == EINTR;
}
bool ConnectPending(int error) {
    return error == EINPROGRESS;
}
// A vanished peer is an error result, not SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

bool IsInvalid(NativeSocket s) {
#if defined(_WIN32)
    return s == INVALID_SOCKET;
#else
    return s < 0;
#endif
}

bool MakeNonBlockingNoDelay(NativeSocket s) {
#if defined(_WIN32)
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) {
        return false;
    }
#else
    const int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
#endif
    int one = 1;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one)) == 0;
}

sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Milliseconds left until `deadline`, for poll and select; -1 for no deadline.
int RemainingMs(Deadline deadline) {
    if (deadline == NoDeadline()) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    // Rounded up, so that a wait does not end just short of the deadline and spin.
    return static_cast<int>(std::clamp<long long>((left + 999) / 1000, 0, 60LL * 60 * 1000));
}

// Waits for the socket to become readable (or writable); 1 ready, 0 deadline passed, -1 error.
int WaitFor(NativeSocket s, bool write, Deadline deadline, int* error) {
    for (;;) {
        const int timeout = RemainingMs(deadline);
#if defined(_WIN32)
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        // A failed connect shows only in the exception set on Windows; a broken connection shows
        // as readable, so reads do not need that set.
        if (write) {
            FD_SET(s, &failed);
        }
        timeval tv{timeout / 1000, (timeout % 1000) * 1000};
        const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed,
                             timeout < 0 ? nullptr : &tv);
#else
        pollfd p{s, static_cast<short>(write ? POLLOUT : POLLIN), 0};
        const int n = poll(&p, 1, timeout);
#endif
        if (n > 0) {
            return 1;
        }
        if (n == 0) {
            if (Clock::now() >= deadline) {
                return 0;
            }
            continue;
        }
        const int e = LastError();
        if (!Interrupted(e)) {
            *error = e;
            return -1;
        }
    }
}

std::once_flag g_startupOnce;
int g_startupError = 0;

}  // namespace

bool Startup(std::string* error) {
    std::call_once(g_startupOnce, [] {
#if defined(_WIN32)
        WSADATA data;
        g_startupError = WSAStartup(MAKEWORD(2, 2), &data);
#endif
    });
    if (g_startupError != 0 && error != nullptr) {
        *error = "WSAStartup failed: " + ErrorText(g_startupError);
    }
    return g_startupError == 0;
}

NativeSocket Socket::Invalid() {
#if defined(_WIN32)
    return INVALID_SOCKET;
#else
    return -1;
#endif
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = other.Release();
    }
    return *this;
}

bool Socket::Valid() const {
    return !IsInvalid(m_handle);
}

void Socket::Close() {
    if (Valid()) {
#if defined(_WIN32)
        closesocket(m_handle);
#else
        close(m_handle);
#endif
        m_handle = Invalid();
    }
}

NativeSocket Socket::Release() {
    const NativeSocket handle = m_handle;
    m_handle = Invalid();
    return handle;
}

Status Listen(std::uint16_t port, Socket* listener, std::uint16_t* boundPort, int* error) {
    Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.Valid()) {
        *error = LastError();
        return Status::Failed;
    }
#if !defined(_WIN32)
    // Lets a restarted server take its fixed port while old connections linger in TIME_WAIT. Not on
    // Windows, where SO_REUSEADDR would let another process take a port in use.
    int one = 1;
    setsockopt(s.Native(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
#endif
    sockaddr_in address = LoopbackAddress(port);
    socklen_t length = sizeof(address);
    if (bind(s.Native(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s.Native(), SOMAXCONN) != 0 ||
        getsockname(s.Native(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        !MakeNonBlockingNoDelay(s.Native())) {
        *error = LastError();
        return Status::Failed;
    }
    *boundPort = ntohs(address.sin_port);
    *listener = std::move(s);
    return Status::Ok;
}

Status Accept(const Socket& listener, Deadline deadline, Socket* connection, int* error) {
    for (;;) {
        const int ready = WaitFor(listener.Native(), false, deadline, error);
        if (ready <= 0) {
            return ready == 0 ? Status::TimedOut : Status::Failed;
        }
        Socket s(accept(listener.Native(), nullptr, nullptr));
        if (!s.Valid()) {
            const int e = LastError();
            // The connection went away between the wake-up and the accept: wait for the next.
            if (WouldBlock(e) || Interrupted(e)) {
                continue;
            }
            *error = e;
            return Status::Failed;
        }
        if (!MakeNonBlockingNoDelay(s.Native())) {
            *error = LastError();
            return Status::Failed;
        }
        *connection = std::move(s);
        return Status::Ok;
    }
}

Status Connect(std::uint16_t port, Deadline deadline, Socket* connection, int* error) {
    Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.Valid() || !MakeNonBlockingNoDelay(s.Native())) {
        *error = LastError();
        return Status::Failed;
    }
    const sockaddr_in address = LoopbackAddress(port);
    if (connect(s.Native(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int e = LastError();
        if (!ConnectPending(e)) {
            *error = e;
            return Status::Failed;
        }
        const int ready = WaitFor(s.Native(), true, deadline, error);
        if (ready <= 0) {
            return ready == 0 ? Status::TimedOut : Status::Failed;
        }
        int result = 0;
        socklen_t length = sizeof(result);
        if (getsockopt(s.Native(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &length) != 0) {
            *error = LastError();
            return Status::Failed;
        }
        if (result != 0) {
            *error = result;
            return Status::Failed;
        }
    }
    *connection = std::move(s);
    return Status::Ok;
}

IoResult SendAll(const Socket& socket, const void* data, std::size_t size, Deadline deadline) {
    IoResult result;
    const char* bytes = static_cast<const char*>(data);
    while (result.done < size) {
        const std::size_t chunk = std::min<std::size_t>(size - result.done, 1 << 20);
        const auto sent = send(socket.Native(), bytes + result.done, static_cast<int>(chunk), kSendFlags);
        if (sent >= 0) {
            result.done += static_cast<std::size_t>(sent);
            continue;
        }
        const int e = LastError();
        if (Interrupted(e)) {
            continue;
        }
        if (!WouldBlock(e)) {
            result.status = Status::Failed;
            result.error = e;
            return result;
        }
        const int ready = WaitFor(socket.Native(), true, deadline, &result.error);
        if (ready <= 0) {
            result.status = ready == 0 ? Status::TimedOut : Status::Failed;
            return result;
        }
    }
    return result;
}

IoResult ReceiveAll(const Socket& socket, void* data, std::size_t size, Deadline deadline) {
    IoResult result;
    char* bytes = static_cast<char*>(data);
    while (result.done < size) {
        const std::size_t chunk = std::min<std::size_t>(size - result.done, 1 << 20);
        const auto got = recv(socket.Native(), bytes + result.done, static_cast<int>(chunk), 0);
        if (got > 0) {
            result.done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) {
            result.status = Status::Closed;
            return result;
        }
        const int e = LastError();
        if (Interrupted(e)) {
            continue;
        }
        if (!WouldBlock(e)) {
            result.status = Status::Failed;
            result.error = e;
            return result;
        }
        const int ready = WaitFor(socket.Native(), false, deadline, &result.error);
        if (ready <= 0) {
            result.status = ready == 0 ? Status::TimedOut : Status::Failed;
            return result;
        }
    }
    return result;
}

Status WaitReadable(const Socket& socket, Deadline deadline) {
    int error = 0;
    const int ready = WaitFor(socket.Native(), false, deadline, &error);
    return ready > 0 ? Status::Ok : (ready == 0 ? Status::TimedOut : Status::Failed);
}

bool IdleConnectionBroken(const Socket& socket) {
    if (WaitReadable(socket, Clock::now()) != Status::Ok) {
        return false;
    }
    char byte = 0;
    const auto got = recv(socket.Native(), &byte, 1, MSG_PEEK);
    return got >= 0 || !WouldBlock(LastError());
}

void CloseGracefully(Socket& socket, Deadline deadline) {
    if (!socket.Valid()) {
        return;
    }
    ShutdownSend(socket);
    DrainToEnd(socket, deadline);
    socket.Close();
}

void ShutdownSend(const Socket& socket) {
#if defined(_WIN32)
    shutdown(socket.Native(), SD_SEND);
#else
    shutdown(socket.Native(), SHUT_WR);
#endif
}

bool DrainToEnd(const Socket& socket, Deadline deadline) {
    char sink[4096];
    for (;;) {
        const IoResult io = ReceiveAll(socket, sink, sizeof(sink), deadline);
        if (io.status != Status::Ok) {
            return io.status != Status::TimedOut;
        }
    }
}

std::string ErrorText(int error) {
    return "error " + std::to_string(error) + " (" + std::system_category().message(error) + ")";
}

}  // namespace vqdemo::net

// XAgentServer: serves one IVQServerEmergencyAgent (and its IVQServerIdentity) to agent proxies
// over loopback TCP, in the demo's wire protocol (protocol/PROTOCOL.md).
//
// Contract:
// - Listen binds 127.0.0.1 only; Start then accepts connections and serves each on a thread of its
//   own, answering its calls in order. Calls from different connections reach the agent
//   concurrently: the agent must be thread-safe.
// - At most Options::maxConnections connections are served at once. A connection beyond them, or
//   one whose thread cannot start, is refused: it is answered with an error frame (call id 0)
//   carrying RPC_S_SERVER_TOO_BUSY and closed, and the server keeps accepting.
// - A connection that sends no frame for Options::idleTimeout is closed.
// - A frame that is malformed, oversized or of another version is answered with an error frame
//   (call id 0) and the connection is closed; an unknown method or arguments that do not match the
//   method are answered with an error HRESULT and the connection stays usable. A frame that starts
//   but does not complete within the frame time-out closes the connection. Nothing a peer sends
//   can crash the server or hold a thread beyond Stop.
// - Stop (also run by the destructor) stops accepting, closes every connection and joins every
//   thread; it returns once calls in progress on the agent have returned. Idempotent.
// - The log function receives one line per connection event (refusals included) and protocol
//   error, on the server's threads. Nothing throws but std::bad_alloc and std::system_error (the
//   accepting thread's start) from Start.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VQProcessStateHandler/IVQServerEmergencyAgent.h"
#include "protocol/socket.h"
#include "protocol/wire.h"
#include "vqplatform/atl.h"

namespace vqdemo {

// The HRESULTs an agent server answers protocol errors with: those of Windows RPC.
HRESULT ProtocolErrorResult(wire::DecodeStatus status);
// For a request whose arguments do not match its method.
HRESULT BadArgumentsResult();

// Calls `method` on `agent` with `in` (which must match the method's in-signature) and gives the
// HRESULT with the out-values. Identity methods go to the agent's IVQServerIdentity (E_NOINTERFACE
// when it has none).
wire::Response InvokeAgent(IVQServerEmergencyAgent* agent, wire::Method method,
                           const std::vector<wire::Value>& in);

class XAgentServer {
  public:
    struct Options {
        std::uint16_t port = 0;  // 0: an ephemeral port
        // How long the rest of a frame may take once its first byte has arrived.
        std::chrono::milliseconds frameTimeout{5000};
        // Connections served at once: each holds a thread.
        std::size_t maxConnections = 64;
        // A connection without a frame for this long is closed. Well above the library's 10-s
        // poll, so that a watching client keeps its connection.
        std::chrono::milliseconds idleTimeout{60000};
        // Starts a connection's thread; empty: std::thread. Lets a test make the start fail.
        std::function<std::thread(std::function<void()>)> startThread;
    };
    using Log = std::function<void(const std::string&)>;

    XAgentServer(ATL::CComPtr<IVQServerEmergencyAgent> agent, Options options, Log log = {});
    ~XAgentServer();
    XAgentServer(const XAgentServer&) = delete;
    XAgentServer& operator=(const XAgentServer&) = delete;

    // Binds the port; false with a reason when that fails.
    bool Listen(std::string* error);
    // The bound port (after Listen).
    std::uint16_t Port() const { return m_port; }
    // Starts accepting connections (after a successful Listen).
    void Start();
    void Stop();

  private:
    struct Connection {
        int number = 0;
        net::Socket socket;
        std::thread thread;
        std::atomic<bool> finished{false};
    };
    // A refused connection, drained until its peer closes it or `until`.
    struct Refused {
        net::Socket socket;
        net::Deadline until;
    };

    void AcceptLoop();
    // Serves `socket`, or refuses it when there is no room or no thread for it.
    void Admit(net::Socket socket);
    void Refuse(net::Socket socket);
    void DrainRefused();
    void Serve(Connection& connection);
    // Reads and answers one frame; false when the connection is to be closed.
    bool ServeFrame(const net::Socket& socket, int number);
    bool Reply(const net::Socket& socket, std::uint8_t method, std::uint32_t callId, HRESULT hr,
               const std::vector<wire::Value>& out);
    void ReapFinished();
    void Write(const std::string& line) const;

    const ATL::CComPtr<IVQServerEmergencyAgent> m_agent;
    const Options m_options;
    const Log m_log;
    net::Socket m_listener;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    std::mutex m_connectionsMutex;
    std::list<std::unique_ptr<Connection>> m_connections;
    int m_nextNumber = 1;
    std::vector<Refused> m_refused;  // the accepting thread's
};

}  // namespace vqdemo

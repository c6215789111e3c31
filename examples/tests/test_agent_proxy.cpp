// The agent proxy against the agent server over loopback TCP, in one process: every call round-trips,
// transport failures give the HRESULTs of Windows RPC within the per-call time-out, the proxy
// reconnects, and neither side accepts a broken frame or lets it take the other down.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent_proxy/XAgentProxy.h"
#include "agent_server/XAgentServer.h"
#include "agent_server/XDemoServerAgent.h"
#include "protocol/socket.h"
#include "protocol/wire.h"
#include "vqplatform/platform.h"

#if defined(_WIN32)
#include <oleauto.h>
#endif

namespace {

using namespace std::chrono_literals;
using ATL::CComPtr;
using vqdemo::XAgentProxy;
using vqdemo::XAgentServer;
using vqdemo::XDemoServerAgent;
namespace net = vqdemo::net;
namespace wire = vqdemo::wire;

const HRESULT kServerUnavailable = HRESULT_FROM_WIN32(1722);
const HRESULT kCallFailed = HRESULT_FROM_WIN32(1726);
const HRESULT kTimedOut = HRESULT_FROM_WIN32(1727);

std::wstring Take(BSTR text) {
    std::wstring value = text != nullptr ? std::wstring(text, SysStringLen(text)) : L"<null>";
    SysFreeString(text);
    return value;
}

// An agent server on an ephemeral port with the demo agent behind it.
class LoopbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(net::Startup(nullptr));
        XDemoServerAgent::Settings settings;
        settings.serverId = 42;
        settings.serverName = L"Server \u00c4\u6771";
        // Copied, not moved in: CComPtr's move assignment does not compile for a class type.
        const CComPtr<XDemoServerAgent> created = XDemoServerAgent::Create(settings);
        agent = created;
        StartServer(agent->AsAgent(), 0);
        ASSERT_EQ(XAgentProxy::Create(server->Port(), &proxy), S_OK);
    }

    void StartServer(CComPtr<IVQServerEmergencyAgent> served, std::uint16_t port) {
        XAgentServer::Options options;
        options.port = port;
        options.frameTimeout = 200ms;
        server = std::make_unique<XAgentServer>(served, options, [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex);
            log.push_back(line);
        });
        std::string error;
        ASSERT_TRUE(server->Listen(&error)) << error;
        server->Start();
    }

    bool Logged(const std::string& part) {
        std::lock_guard<std::mutex> lock(logMutex);
        for (const auto& line : log) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // The server's log outlives the server, which writes to it until it has stopped.
    std::mutex logMutex;
    std::vector<std::string> log;
    CComPtr<XDemoServerAgent> agent;
    std::unique_ptr<XAgentServer> server;
    CComPtr<XAgentProxy> proxy;
};

// A connected raw socket to the test's server.
net::Socket RawConnection(std::uint16_t port) {
    net::Socket socket;
    int error = 0;
    EXPECT_EQ(net::Connect(port, net::DeadlineIn(2s), &socket, &error), net::Status::Ok) << error;
    return socket;
}

void SendBytes(const net::Socket& socket, const std::vector<std::uint8_t>& bytes) {
    EXPECT_EQ(net::SendAll(socket, bytes.data(), bytes.size(), net::DeadlineIn(2s)).status, net::Status::Ok);
}

// The next frame from the peer; Closed when it closed the connection instead.
net::Status ReadFrame(const net::Socket& socket, wire::Frame* frame) {
    std::uint8_t field[wire::kLengthFieldSize];
    net::IoResult io = net::ReceiveAll(socket, field, sizeof(field), net::DeadlineIn(2s));
    if (io.status != net::Status::Ok) {
        return io.status;
    }
    std::uint32_t size = 0;
    EXPECT_EQ(wire::DecodeLength(field, &size), wire::DecodeStatus::Ok);
    std::vector<std::uint8_t> body(size);
    io = net::ReceiveAll(socket, body.data(), body.size(), net::DeadlineIn(2s));
    if (io.status != net::Status::Ok) {
        return io.status;
    }
    // Answers to unreadable frames and to unknown methods carry a method id no method has.
    const wire::DecodeStatus status = wire::DecodeBody(body.data(), body.size(), frame);
    EXPECT_TRUE(status == wire::DecodeStatus::Ok || status == wire::DecodeStatus::UnknownMethod);
    return net::Status::Ok;
}

// The HRESULT of a response frame.
HRESULT ResultOf(const wire::Frame& frame) {
    EXPECT_EQ(frame.kind, wire::Kind::Response);
    EXPECT_GE(frame.payload.size(), 4u);
    if (frame.payload.size() < 4) {
        return S_OK;
    }
    return static_cast<HRESULT>(frame.payload[0] | (frame.payload[1] << 8) | (frame.payload[2] << 16) |
                                (static_cast<std::uint32_t>(frame.payload[3]) << 24));
}

bool PeerCloses(const net::Socket& socket) {
    std::uint8_t byte = 0;
    return net::ReceiveAll(socket, &byte, 1, net::DeadlineIn(2s)).status == net::Status::Closed;
}

std::vector<std::uint8_t> Request(std::uint8_t method, std::uint32_t callId,
                                  std::vector<std::uint8_t> payload = {}) {
    wire::Frame frame;
    frame.method = method;
    frame.callId = callId;
    frame.payload = std::move(payload);
    return wire::EncodeFrame(frame);
}

// A peer that accepts one connection and does what the test says with it.
class RawServer {
  public:
    explicit RawServer(std::function<void(net::Socket&)> behaviour) {
        int error = 0;
        EXPECT_EQ(net::Listen(0, &m_listener, &m_port, &error), net::Status::Ok);
        m_thread = std::thread([this, behaviour] {
            net::Socket connection;
            int acceptError = 0;
            if (net::Accept(m_listener, net::DeadlineIn(5s), &connection, &acceptError) == net::Status::Ok) {
                behaviour(connection);
            }
        });
    }
    ~RawServer() { m_thread.join(); }
    std::uint16_t Port() const { return m_port; }

  private:
    net::Socket m_listener;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

// Reads one request frame off `connection`.
wire::Frame ReadRequest(net::Socket& connection) {
    wire::Frame request;
    EXPECT_EQ(ReadFrame(connection, &request), net::Status::Ok);
    return request;
}

TEST_F(LoopbackTest, StateAndConfigurationRoundTrip) {
    DWORD state = 0;
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(state, vqdemo::kNormalState);
    ASSERT_EQ(proxy->SetServerEmergencyState(0xC0000002), S_OK);
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(state, 0xC0000002u);

    BSTR text = nullptr;
    ASSERT_EQ(proxy->GetServerEmergencyStateText(2, &text), S_OK);
    EXPECT_EQ(Take(text), L"emergency");
    DWORD age = 99;
    ASSERT_EQ(proxy->GetServerEmergencyStateAge(&age), S_OK);
    EXPECT_LT(age, 60u);

    EmergencyConfiguration configuration{{0xDEADBEEF, 7}, -5, 0x80000010};
    ASSERT_EQ(proxy->SetEmergencyConfiguration(&configuration), S_OK);
    EmergencyConfiguration back{};
    ASSERT_EQ(proxy->GetEmergencyConfiguration(&back), S_OK);
    EXPECT_EQ(back.serverData[0], 0xDEADBEEFu);
    EXPECT_EQ(back.serverData[1], 7u);
    EXPECT_EQ(back.activation, -5);
    EXPECT_EQ(back.emergencyStateMask, 0x80000010u);

    ASSERT_EQ(proxy->StartEmergencyDrill(0x10), S_OK);
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(state, 0x10u);
    ASSERT_EQ(proxy->StopEmergencyDrill(), S_OK);
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(state, 0xC0000002u);
}

TEST_F(LoopbackTest, FailoverRequestsCarryTheClientAndItsAnswer) {
    BSTR computer = SysAllocString(L"CLIENT-\u00e9\u00df");
    LONG result = -1;
    ASSERT_EQ(proxy->RequestClientEmergencyFailover(4321, computer, &result), S_OK);
    EXPECT_EQ(result, 1) << "declined: no emergency";

    ASSERT_EQ(proxy->SetServerEmergencyState(vqdemo::kEmergencyState), S_OK);
    result = -1;
    ASSERT_EQ(proxy->RequestClientEmergencyFailover(4321, computer, &result), S_OK);
    EXPECT_EQ(result, 0);
    const auto clients = agent->EmergencyClients();
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].first, 4321u);
    EXPECT_EQ(clients[0].second, L"CLIENT-\u00e9\u00df");

    LONG count = 0;
    ASSERT_EQ(proxy->GetEmergencyClientCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    DWORD processId = 0;
    BSTR name = nullptr;
    ASSERT_EQ(proxy->GetEmergencyClient(0, &processId, &name), S_OK);
    EXPECT_EQ(processId, 4321u);
    EXPECT_EQ(Take(name), L"CLIENT-\u00e9\u00df");
    // The agent's own failure comes back as it is, with no out-string.
    name = nullptr;
    EXPECT_EQ(proxy->GetEmergencyClient(3, &processId, &name), E_INVALIDARG);
    EXPECT_EQ(name, nullptr);

    EXPECT_EQ(proxy->AcknowledgeServerEmergency(4321, computer), S_OK);
    EXPECT_EQ(proxy->CancelClientEmergencyFailover(4321, computer), S_OK);
    EXPECT_TRUE(agent->EmergencyClients().empty());
    SysFreeString(computer);

    BSTR failover = SysAllocString(L"standby");
    ASSERT_EQ(proxy->SetFailoverServerName(failover), S_OK);
    SysFreeString(failover);
    ASSERT_EQ(proxy->GetFailoverServerName(&name), S_OK);
    EXPECT_EQ(Take(name), L"standby");
    // A null BSTR travels as one, and the server takes it as an empty name.
    ASSERT_EQ(proxy->SetFailoverServerName(nullptr), S_OK);
    ASSERT_EQ(proxy->GetFailoverServerName(&name), S_OK);
    EXPECT_NE(name, nullptr);
    EXPECT_EQ(Take(name), L"");
}

TEST_F(LoopbackTest, IdentityRoundTrips) {
    ServerIdentity record{};
    ASSERT_EQ(proxy->GetServerIdentity(&record), S_OK);
    EXPECT_EQ(record.serverId, 42u);
    ASSERT_NE(record.serverName, nullptr);
    EXPECT_EQ(Take(record.serverName), L"Server \u00c4\u6771");

    DWORD number = 0;
    ASSERT_EQ(proxy->GetServerId(&number), S_OK);
    EXPECT_EQ(number, 42u);
    ASSERT_EQ(proxy->GetServerProcessId(&number), S_OK);
    EXPECT_EQ(number, GetCurrentProcessId());
    BSTR text = nullptr;
    ASSERT_EQ(proxy->GetServerName(&text), S_OK);
    EXPECT_EQ(Take(text), L"Server \u00c4\u6771");
    ASSERT_EQ(proxy->GetServerVersion(&text), S_OK);
    EXPECT_EQ(Take(text), L"1.0");
    ASSERT_EQ(proxy->GetServerComputerName(&text), S_OK);
    EXPECT_FALSE(Take(text).empty());
}

TEST_F(LoopbackTest, IsOneComObjectWithBothInterfaces) {
    CComPtr<IUnknown> fromAgent;
    CComPtr<IUnknown> fromIdentity;
    CComPtr<IVQServerIdentity> identity;
    ASSERT_EQ(proxy->QueryInterface(IID_IVQServerIdentity, reinterpret_cast<void**>(&identity)), S_OK);
    ASSERT_EQ(proxy->AsAgent()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromAgent)), S_OK);
    ASSERT_EQ(identity->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromIdentity)), S_OK);
    EXPECT_EQ(fromAgent.p, fromIdentity.p);
    CComPtr<IVQServerEmergencyAgent> back;
    ASSERT_EQ(identity->QueryInterface(IID_IVQServerEmergencyAgent, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back.p, proxy->AsAgent().p);

    constexpr IID kOther = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    void* other = &other;
    EXPECT_EQ(proxy->QueryInterface(kOther, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(proxy->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(LoopbackTest, ReferenceCountingIsThreadSafe) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 10000; ++i) {
                proxy->AddRef();
            }
            for (int i = 0; i < 10000; ++i) {
                proxy->Release();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(proxy->AddRef(), 2u);
    EXPECT_EQ(proxy->Release(), 1u);
}

TEST_F(LoopbackTest, ConcurrentCallsShareOneConnection) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t, &failures] {
            for (int i = 0; i < 50; ++i) {
                DWORD id = 0;
                BSTR name = nullptr;
                if (proxy->GetServerId(&id) != S_OK || id != 42 ||
                    proxy->GetServerEmergencyStateText(static_cast<DWORD>(t), &name) != S_OK) {
                    ++failures;
                }
                SysFreeString(name);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(Logged("connection #2")) << "one connection serves every call";
}

TEST_F(LoopbackTest, NullOutPointersFailWithoutACall) {
    EXPECT_EQ(proxy->GetServerEmergencyState(nullptr), E_POINTER);
    EXPECT_EQ(proxy->GetEmergencyConfiguration(nullptr), E_POINTER);
    EXPECT_EQ(proxy->RequestClientEmergencyFailover(1, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(proxy->GetServerIdentity(nullptr), E_POINTER);
    EXPECT_EQ(proxy->GetServerName(nullptr), E_POINTER);
    server->Stop();
    EXPECT_FALSE(Logged("accepted"));
}

TEST_F(LoopbackTest, ServerGoneIsServerUnavailableAndTheProxyReconnects) {
    DWORD state = 0;
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    const std::uint16_t port = server->Port();
    server->Stop();
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), kServerUnavailable)
        << "idle connection closed by the server";
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), kServerUnavailable) << "nobody listens";
    LONG result = 0;
    EXPECT_EQ(proxy->RequestClientEmergencyFailover(1, nullptr, &result), kServerUnavailable);

    server.reset();
    StartServer(agent->AsAgent(), port);
    ASSERT_EQ(proxy->SetServerEmergencyState(5), S_OK);
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(state, 5u);
}

TEST(AgentProxyTransport, NobodyListeningIsServerUnavailable) {
    ASSERT_TRUE(net::Startup(nullptr));
    std::uint16_t port = 0;
    {
        net::Socket listener;
        int error = 0;
        ASSERT_EQ(net::Listen(0, &listener, &port, &error), net::Status::Ok);
    }
    CComPtr<XAgentProxy> proxy;
    ASSERT_EQ(XAgentProxy::Create(port, &proxy), S_OK);
    ServerIdentity record{};
    EXPECT_EQ(proxy->GetServerIdentity(&record), kServerUnavailable);
    EXPECT_EQ(record.serverName, nullptr);
}

TEST(AgentProxyTransport, ServerThatNeverAnswersTimesOutWithinTheCallTimeout) {
    ASSERT_TRUE(net::Startup(nullptr));
    // Accepted by the system's backlog, but never read: the request goes out, no answer comes.
    net::Socket listener;
    std::uint16_t port = 0;
    int error = 0;
    ASSERT_EQ(net::Listen(0, &listener, &port, &error), net::Status::Ok);
    CComPtr<XAgentProxy> proxy;
    ASSERT_EQ(XAgentProxy::Create(port, &proxy), S_OK);
    EXPECT_EQ(proxy->CallTimeout(), 2000u);
    proxy->SetCallTimeout(200);

    const auto start = std::chrono::steady_clock::now();
    DWORD state = 0;
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), kTimedOut);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 190ms);
    EXPECT_LT(elapsed, 1500ms) << "bounded by the 200 ms time-out, with room for a loaded machine";
}

// An agent whose state request blocks until released: a server that stops answering mid-session.
class BlockingAgent : public XDemoServerAgent {
  public:
    BlockingAgent() : XDemoServerAgent(Settings{}, {}) {}
    HRESULT STDMETHODCALLTYPE GetServerEmergencyState(DWORD* pState) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_released; });
        return XDemoServerAgent::GetServerEmergencyState(pState);
    }
    void Unblock() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_released = false;
};

TEST_F(LoopbackTest, HangingServerTimesOutAndTheNextCallReconnects) {
    CComPtr<BlockingAgent> blocking(new BlockingAgent());
    server.reset();
    StartServer(blocking->AsAgent(), 0);
    proxy.Release();
    ASSERT_EQ(XAgentProxy::Create(server->Port(), &proxy), S_OK);
    proxy->SetCallTimeout(200);

    DWORD id = 0;
    ASSERT_EQ(proxy->GetServerId(&id), S_OK);
    DWORD state = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), kTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);

    blocking->Unblock();
    // The late answer went to the dropped connection; the next call has a new one.
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(state, vqdemo::kNormalState);
    EXPECT_TRUE(Logged("connection #2 accepted"));
}

TEST(AgentProxyTransport, ConnectionLostOrGarbledAfterTheRequestIsCallFailed) {
    ASSERT_TRUE(net::Startup(nullptr));
    const std::vector<std::function<void(net::Socket&)>> peers = {
        // Reads the request and hangs up.
        [](net::Socket& c) {
            ReadRequest(c);
            c.Close();
        },
        // Answers half a frame and hangs up.
        [](net::Socket& c) {
            ReadRequest(c);
            SendBytes(c, {20, 0, 0, 0, wire::kVersion, 2});
            c.Close();
        },
        // Answers another call.
        [](net::Socket& c) {
            const wire::Frame request = ReadRequest(c);
            wire::Frame response;
            response.kind = wire::Kind::Response;
            response.method = request.method;
            response.callId = request.callId + 1;
            response.payload = wire::EncodeResponse(0, {wire::Value::U32(1)});
            SendBytes(c, wire::EncodeFrame(response));
            PeerCloses(c);
        },
        // Answers in another version.
        [](net::Socket& c) {
            const wire::Frame request = ReadRequest(c);
            std::vector<std::uint8_t> bytes =
                Request(request.method, request.callId, {0, 0, 0, 0, 1, 0, 0, 0});
            bytes[4] = 2;
            SendBytes(c, bytes);
            PeerCloses(c);
        },
        // Answers with values of the wrong shape.
        [](net::Socket& c) {
            const wire::Frame request = ReadRequest(c);
            wire::Frame response;
            response.kind = wire::Kind::Response;
            response.method = request.method;
            response.callId = request.callId;
            response.payload = {0, 0, 0, 0, 1};
            SendBytes(c, wire::EncodeFrame(response));
            PeerCloses(c);
        },
        // Announces an oversized answer.
        [](net::Socket& c) {
            ReadRequest(c);
            SendBytes(c, {0xFF, 0xFF, 0xFF, 0x7F});
            PeerCloses(c);
        },
    };
    for (std::size_t i = 0; i < peers.size(); ++i) {
        RawServer peer(peers[i]);
        CComPtr<XAgentProxy> proxy;
        ASSERT_EQ(XAgentProxy::Create(peer.Port(), &proxy), S_OK);
        DWORD state = 0;
        EXPECT_EQ(proxy->GetServerEmergencyState(&state), kCallFailed) << "peer " << i;
        // The proxy dropped the connection, which lets the peer's thread end.
    }
}

TEST_F(LoopbackTest, ServerAnswersBrokenFramesWithRpcErrorsAndCloses) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        HRESULT expected;
    };
    std::vector<std::uint8_t> otherVersion = Request(1, 9);
    otherVersion[4] = 2;
    std::vector<std::uint8_t> response = Request(1, 9);
    response[5] = static_cast<std::uint8_t>(wire::Kind::Response);
    const std::vector<Case> cases = {
        {"other version", otherVersion, HRESULT_FROM_WIN32(1730)},
        {"oversized", {0x00, 0x00, 0x00, 0x10}, HRESULT_FROM_WIN32(1728)},
        {"shorter than a header", {3, 0, 0, 0, 1, 1, 1}, HRESULT_FROM_WIN32(1728)},
        {"a response sent to the server", response, HRESULT_FROM_WIN32(1728)},
    };
    for (const Case& c : cases) {
        net::Socket raw = RawConnection(server->Port());
        SendBytes(raw, c.bytes);
        wire::Frame answer;
        ASSERT_EQ(ReadFrame(raw, &answer), net::Status::Ok) << c.what;
        EXPECT_EQ(ResultOf(answer), c.expected) << c.what;
        EXPECT_EQ(answer.callId, 0u) << c.what;
        EXPECT_TRUE(PeerCloses(raw)) << c.what;
    }
    // The server goes on serving.
    DWORD state = 0;
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
}

TEST_F(LoopbackTest, ServerRefusesUnknownMethodsAndBadArgumentsButKeepsTheConnection) {
    net::Socket raw = RawConnection(server->Port());
    wire::Frame answer;

    SendBytes(raw, Request(99, 1));
    ASSERT_EQ(ReadFrame(raw, &answer), net::Status::Ok);
    EXPECT_EQ(ResultOf(answer), HRESULT_FROM_WIN32(1745));
    EXPECT_EQ(answer.method, 99);
    EXPECT_EQ(answer.callId, 1u);

    // GetServerEmergencyState takes nothing; RequestClientEmergencyFailover's string is cut short.
    SendBytes(raw, Request(1, 2, {1, 2, 3, 4}));
    ASSERT_EQ(ReadFrame(raw, &answer), net::Status::Ok);
    EXPECT_EQ(ResultOf(answer), HRESULT_FROM_WIN32(1783));
    EXPECT_EQ(answer.callId, 2u);
    SendBytes(raw, Request(15, 3, {1, 0, 0, 0, 9, 0, 0, 0, 'a', 0}));
    ASSERT_EQ(ReadFrame(raw, &answer), net::Status::Ok);
    EXPECT_EQ(ResultOf(answer), HRESULT_FROM_WIN32(1783));
    EXPECT_TRUE(agent->EmergencyClients().empty());

    SendBytes(raw, Request(1, 4));
    ASSERT_EQ(ReadFrame(raw, &answer), net::Status::Ok);
    EXPECT_EQ(ResultOf(answer), S_OK);
    EXPECT_EQ(answer.callId, 4u);
    EXPECT_EQ(answer.payload.size(), 8u);
}

TEST_F(LoopbackTest, ServerDropsAFrameThatStallsMidway) {
    net::Socket raw = RawConnection(server->Port());
    SendBytes(raw, {100, 0, 0, 0, wire::kVersion, 1, 1});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(PeerCloses(raw));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "the 200 ms frame time-out";
    DWORD state = 0;
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
}

TEST_F(LoopbackTest, ServerSurvivesRandomFrames) {
    std::mt19937 random(7);
    for (int round = 0; round < 100; ++round) {
        std::vector<std::uint8_t> body(random() % 24);
        for (auto& byte : body) {
            byte = static_cast<std::uint8_t>(random());
        }
        if (body.size() >= 4 && round % 2 == 0) {
            body[0] = wire::kVersion;
            body[1] = 1;
            body[2] = static_cast<std::uint8_t>(random() % 23);
            body[3] = 0;
        }
        const auto size = static_cast<std::uint32_t>(body.size());
        std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(size), 0, 0, 0};
        bytes.insert(bytes.end(), body.begin(), body.end());

        net::Socket raw = RawConnection(server->Port());
        SendBytes(raw, bytes);
        // Each frame is answered, or the connection closed, at once: no frame is left half read.
        wire::Frame answer;
        const net::Status status = ReadFrame(raw, &answer);
        EXPECT_TRUE(status == net::Status::Ok || status == net::Status::Closed) << round;
    }
    DWORD state = 0;
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
}

}  // namespace

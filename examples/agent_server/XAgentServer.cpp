#include "agent_server/XAgentServer.h"

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "protocol/text.h"

#if defined(_WIN32)
#include <oleauto.h>
#endif

namespace vqdemo {

namespace {

using wire::Value;

// How often waiting threads look at the stop request.
constexpr std::chrono::milliseconds kSlice{50};
// Refused connections being drained at once; beyond them the oldest is closed at once.
constexpr std::size_t kMaxRefused = 64;

Value StrValue(BSTR text) {
    if (text == nullptr) {
        return Value::Str(std::nullopt);
    }
    return Value::Str(Utf16FromWide(text, SysStringLen(text)));
}

// A BSTR argument made from a wire string, freed when the call is done.
class BstrArgument {
  public:
    explicit BstrArgument(const std::optional<std::u16string>& text) {
        if (text) {
            const std::wstring wide = WideFromUtf16(*text);
            m_bstr = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            if (m_bstr == nullptr) {
                throw std::bad_alloc();
            }
        }
    }
    ~BstrArgument() { SysFreeString(m_bstr); }
    BstrArgument(const BstrArgument&) = delete;
    BstrArgument& operator=(const BstrArgument&) = delete;
    BSTR Get() const { return m_bstr; }

  private:
    BSTR m_bstr = nullptr;
};

// Takes an out-BSTR of the agent into a wire value and frees it.
Value TakeBstr(BSTR& text) {
    Value value = StrValue(text);
    SysFreeString(text);
    text = nullptr;
    return value;
}

wire::Response InvokeIdentity(IVQServerEmergencyAgent* agent, wire::Method method) {
    ATL::CComPtr<IVQServerIdentity> identity;
    const HRESULT qi = agent->QueryInterface(IID_IVQServerIdentity, reinterpret_cast<void**>(&identity));
    if (FAILED(qi) || !identity) {
        return {FAILED(qi) ? qi : E_NOINTERFACE, {}};
    }
    wire::Response r;
    DWORD number = 0;
    BSTR text = nullptr;
    switch (method) {
        case wire::Method::GetServerId:
            r.hr = identity->GetServerId(&number);
            r.out = {Value::U32(number)};
            break;
        case wire::Method::GetServerName:
            r.hr = identity->GetServerName(&text);
            r.out = {TakeBstr(text)};
            break;
        case wire::Method::GetServerVersion:
            r.hr = identity->GetServerVersion(&text);
            r.out = {TakeBstr(text)};
            break;
        case wire::Method::GetServerProcessId:
            r.hr = identity->GetServerProcessId(&number);
            r.out = {Value::U32(number)};
            break;
        case wire::Method::GetServerComputerName:
            r.hr = identity->GetServerComputerName(&text);
            r.out = {TakeBstr(text)};
            break;
        case wire::Method::GetServerIdentity: {
            ServerIdentity record{};
            r.hr = identity->GetServerIdentity(&record);
            r.out = {TakeBstr(record.serverName), Value::U32(record.serverId)};
            break;
        }
        default:
            r.hr = E_NOTIMPL;
            break;
    }
    return r;
}

wire::Response InvokeEmergencyAgent(IVQServerEmergencyAgent* agent, wire::Method method,
                                    const std::vector<Value>& in) {
    wire::Response r;
    DWORD number = 0;
    LONG count = 0;
    BSTR text = nullptr;
    switch (method) {
        case wire::Method::GetServerEmergencyState:
            r.hr = agent->GetServerEmergencyState(&number);
            r.out = {Value::U32(number)};
            break;
        case wire::Method::SetServerEmergencyState:
            r.hr = agent->SetServerEmergencyState(in[0].u32);
            break;
        case wire::Method::GetServerEmergencyStateText:
            r.hr = agent->GetServerEmergencyStateText(in[0].u32, &text);
            r.out = {TakeBstr(text)};
            break;
        case wire::Method::GetServerEmergencyStateAge:
            r.hr = agent->GetServerEmergencyStateAge(&number);
            r.out = {Value::U32(number)};
            break;
        case wire::Method::AcknowledgeServerEmergency: {
            BstrArgument computer(in[1].str);
            r.hr = agent->AcknowledgeServerEmergency(in[0].u32, computer.Get());
            break;
        }
        case wire::Method::SetEmergencyConfiguration: {
            EmergencyConfiguration configuration{{in[0].u32, in[1].u32}, in[2].i32, in[3].u32};
            r.hr = agent->SetEmergencyConfiguration(&configuration);
            break;
        }
        case wire::Method::GetEmergencyConfiguration: {
            EmergencyConfiguration configuration{};
            r.hr = agent->GetEmergencyConfiguration(&configuration);
            r.out = {Value::U32(configuration.serverData[0]), Value::U32(configuration.serverData[1]),
                     Value::I32(configuration.activation), Value::U32(configuration.emergencyStateMask)};
            break;
        }
        case wire::Method::GetEmergencyClientCount:
            r.hr = agent->GetEmergencyClientCount(&count);
            r.out = {Value::I32(count)};
            break;
        case wire::Method::GetEmergencyClient:
            r.hr = agent->GetEmergencyClient(in[0].i32, &number, &text);
            r.out = {Value::U32(number), TakeBstr(text)};
            break;
        case wire::Method::GetFailoverServerName:
            r.hr = agent->GetFailoverServerName(&text);
            r.out = {TakeBstr(text)};
            break;
        case wire::Method::SetFailoverServerName: {
            BstrArgument name(in[0].str);
            r.hr = agent->SetFailoverServerName(name.Get());
            break;
        }
        case wire::Method::StartEmergencyDrill:
            r.hr = agent->StartEmergencyDrill(in[0].u32);
            break;
        case wire::Method::StopEmergencyDrill:
            r.hr = agent->StopEmergencyDrill();
            break;
        case wire::Method::CancelClientEmergencyFailover: {
            BstrArgument computer(in[1].str);
            r.hr = agent->CancelClientEmergencyFailover(in[0].u32, computer.Get());
            break;
        }
        case wire::Method::RequestClientEmergencyFailover: {
            BstrArgument computer(in[1].str);
            LONG result = 0;
            r.hr = agent->RequestClientEmergencyFailover(in[0].u32, computer.Get(), &result);
            r.out = {Value::I32(result)};
            break;
        }
        default:
            return InvokeIdentity(agent, method);
    }
    return r;
}

std::string Describe(const net::IoResult& result) {
    switch (result.status) {
        case net::Status::Ok:
            return "ok";
        case net::Status::TimedOut:
            return "timed out";
        case net::Status::Closed:
            return "connection closed";
        case net::Status::Failed:
            return net::ErrorText(result.error);
    }
    return "?";
}

}  // namespace

HRESULT ProtocolErrorResult(wire::DecodeStatus status) {
    switch (status) {
        case wire::DecodeStatus::Ok:
            return S_OK;
        case wire::DecodeStatus::WrongVersion:
            return HRESULT_FROM_WIN32(wire::kUnsupportedSyntax);
        case wire::DecodeStatus::UnknownMethod:
            return HRESULT_FROM_WIN32(wire::kUnknownProcedure);
        case wire::DecodeStatus::NeedMore:
        case wire::DecodeStatus::Malformed:
        case wire::DecodeStatus::Oversized:
            break;
    }
    return HRESULT_FROM_WIN32(wire::kProtocolError);
}

HRESULT BadArgumentsResult() {
    return HRESULT_FROM_WIN32(wire::kBadStubData);
}

wire::Response InvokeAgent(IVQServerEmergencyAgent* agent, wire::Method method,
                           const std::vector<Value>& in) {
    try {
        return InvokeEmergencyAgent(agent, method, in);
    } catch (const std::bad_alloc&) {
        return {E_OUTOFMEMORY, {}};
    } catch (...) {
        // What COM reports when a server method raises.
        return {RPC_E_SERVERFAULT, {}};
    }
}

XAgentServer::XAgentServer(ATL::CComPtr<IVQServerEmergencyAgent> agent, Options options, Log log)
    : m_agent(std::move(agent)), m_options(std::move(options)), m_log(std::move(log)) {}

XAgentServer::~XAgentServer() {
    Stop();
}

bool XAgentServer::Listen(std::string* error) {
    int code = 0;
    if (net::Listen(m_options.port, &m_listener, &m_port, &code) != net::Status::Ok) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(m_options.port) + ": " + net::ErrorText(code);
        return false;
    }
    return true;
}

void XAgentServer::Start() {
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

void XAgentServer::Stop() {
    m_stopping = true;
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    m_listener.Close();
    m_refused.clear();
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        connections.swap(m_connections);
    }
    for (auto& connection : connections) {
        connection->thread.join();
    }
}

void XAgentServer::AcceptLoop() {
    while (!m_stopping) {
        ReapFinished();
        DrainRefused();
        net::Socket socket;
        int error = 0;
        const net::Status status = net::Accept(m_listener, net::DeadlineIn(kSlice), &socket, &error);
        if (status == net::Status::TimedOut) {
            continue;
        }
        if (status != net::Status::Ok) {
            Write("accepting a connection failed: " + net::ErrorText(error));
            std::this_thread::sleep_for(kSlice);
            continue;
        }
        Admit(std::move(socket));
    }
}

void XAgentServer::Admit(net::Socket socket) {
    Connection* raw = nullptr;
    int number = 0;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        number = m_nextNumber++;
        // Finished connections not reaped yet no longer count.
        const auto served = std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const auto& connection) { return !connection->finished; });
        if (static_cast<std::size_t>(served) < m_options.maxConnections) {
            raw = m_connections.emplace_back(std::make_unique<Connection>()).get();
            raw->number = number;
        }
    }
    const std::string who = "connection #" + std::to_string(number);
    if (raw != nullptr) {
        // Not yet served: the connection's thread starts below, after the lock.
        raw->socket = std::move(socket);
    } else {
        Write(who + " refused: " + std::to_string(m_options.maxConnections) +
              " connections are served already");
        Refuse(std::move(socket));
        return;
    }
    std::function<void()> body = [this, raw] {
        Serve(*raw);
        raw->finished = true;
    };
    try {
        raw->thread =
            m_options.startThread ? m_options.startThread(std::move(body)) : std::thread(std::move(body));
    } catch (const std::system_error& e) {
        Write(who + " refused: its thread cannot start (" + e.what() + ")");
        socket = std::move(raw->socket);
        {
            std::lock_guard<std::mutex> lock(m_connectionsMutex);
            m_connections.remove_if([raw](const auto& connection) { return connection.get() == raw; });
        }
        Refuse(std::move(socket));
        return;
    }
    Write(who + " accepted");
}

void XAgentServer::Refuse(net::Socket socket) {
    Reply(socket, 0, 0, HRESULT_FROM_WIN32(wire::kServerTooBusy), {});
    net::ShutdownSend(socket);
    // A client sends its request without waiting for anything: closed with that request unread, the
    // connection would be reset and the refusal lost. So it is drained until the client closes it.
    if (m_refused.size() >= kMaxRefused) {
        m_refused.erase(m_refused.begin());
    }
    m_refused.push_back({std::move(socket), net::DeadlineIn(m_options.frameTimeout)});
}

void XAgentServer::DrainRefused() {
    const net::Deadline now = net::Clock::now();
    m_refused.erase(std::remove_if(m_refused.begin(), m_refused.end(),
                                   [now](const Refused& refused) {
                                       return net::DrainToEnd(refused.socket, now) || now >= refused.until;
                                   }),
                    m_refused.end());
}

void XAgentServer::ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            // A connection is marked finished only by its own thread, which exists by then.
            if ((*it)->finished) {
                finished.push_back(std::move(*it));
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : finished) {
        connection->thread.join();
    }
}

void XAgentServer::Serve(Connection& connection) {
    net::Socket& socket = connection.socket;
    const std::string who = "connection #" + std::to_string(connection.number);
    net::Deadline idleUntil = net::DeadlineIn(m_options.idleTimeout);
    while (!m_stopping) {
        const net::Status status = net::WaitReadable(socket, std::min(idleUntil, net::DeadlineIn(kSlice)));
        if (status == net::Status::TimedOut) {
            if (net::Clock::now() < idleUntil) {
                continue;
            }
            Write(who + " closed: no call for " + std::to_string(m_options.idleTimeout.count()) + " ms");
            break;
        }
        if (status != net::Status::Ok || !ServeFrame(socket, connection.number)) {
            break;
        }
        idleUntil = net::DeadlineIn(m_options.idleTimeout);
    }
    if (m_stopping) {
        Write(who + " closed: the server stops");
    }
    net::CloseGracefully(socket, net::DeadlineIn(kSlice));
}

bool XAgentServer::ServeFrame(const net::Socket& socket, int number) {
    const std::string who = "connection #" + std::to_string(number);
    const net::Deadline frameDeadline = net::DeadlineIn(m_options.frameTimeout);
    // Reads in slices, so that a peer that stalls mid-frame holds Stop no longer than one slice.
    auto receive = [&](std::uint8_t* data, std::size_t size) {
        net::IoResult total;
        while (total.done < size && !m_stopping) {
            const net::Deadline slice = std::min(frameDeadline, net::DeadlineIn(kSlice));
            net::IoResult part = net::ReceiveAll(socket, data + total.done, size - total.done, slice);
            total.done += part.done;
            total.status = part.status;
            total.error = part.error;
            if (part.status != net::Status::Ok &&
                (part.status != net::Status::TimedOut || net::Clock::now() >= frameDeadline)) {
                break;
            }
        }
        if (total.done < size && total.status == net::Status::Ok) {
            total.status = net::Status::TimedOut;
        }
        return total;
    };

    std::uint8_t field[wire::kLengthFieldSize];
    net::IoResult io = receive(field, sizeof(field));
    if (io.status == net::Status::Closed && io.done == 0) {
        Write(who + " closed by the client");
        return false;
    }
    if (io.status != net::Status::Ok) {
        Write(who + ": incomplete frame (" + Describe(io) + "); closing the connection");
        return false;
    }
    std::uint32_t bodySize = 0;
    wire::DecodeStatus status = wire::DecodeLength(field, &bodySize);
    wire::Frame frame;
    if (status == wire::DecodeStatus::Ok) {
        std::vector<std::uint8_t> body(bodySize);
        io = receive(body.data(), body.size());
        if (io.status != net::Status::Ok) {
            Write(who + ": incomplete frame (" + Describe(io) + "); closing the connection");
            return false;
        }
        status = wire::DecodeBody(body.data(), body.size(), &frame);
        if (status == wire::DecodeStatus::Ok && frame.kind != wire::Kind::Request) {
            status = wire::DecodeStatus::Malformed;
        }
    }
    if (status == wire::DecodeStatus::UnknownMethod) {
        Write(who + ": call of unknown method " + std::to_string(frame.method) + " refused");
        return Reply(socket, frame.method, frame.callId, ProtocolErrorResult(status), {});
    }
    if (status != wire::DecodeStatus::Ok) {
        Write(who + ": " + wire::DecodeStatusText(status) + "; closing the connection");
        Reply(socket, 0, 0, ProtocolErrorResult(status), {});
        return false;
    }
    const wire::Signature& signature = *wire::FindSignature(frame.method);
    const auto in = wire::DecodeRequest(signature, frame.payload);
    if (!in) {
        Write(who + ": arguments of " + signature.name + " do not match the method; refused");
        return Reply(socket, frame.method, frame.callId, BadArgumentsResult(), {});
    }
    const wire::Response response = InvokeAgent(m_agent, static_cast<wire::Method>(frame.method), *in);
    return Reply(socket, frame.method, frame.callId, response.hr, response.out);
}

bool XAgentServer::Reply(const net::Socket& socket, std::uint8_t method, std::uint32_t callId, HRESULT hr,
                         const std::vector<Value>& out) {
    wire::Frame frame;
    frame.kind = wire::Kind::Response;
    frame.method = method;
    frame.callId = callId;
    frame.payload = wire::EncodeResponse(hr, out);
    std::vector<std::uint8_t> bytes = wire::EncodeFrame(frame);
    if (bytes.empty()) {
        // The agent's answer does not fit in a frame.
        frame.payload = wire::EncodeResponse(HRESULT_FROM_WIN32(wire::kProtocolError), {});
        bytes = wire::EncodeFrame(frame);
    }
    const net::IoResult io =
        net::SendAll(socket, bytes.data(), bytes.size(), net::DeadlineIn(m_options.frameTimeout));
    if (io.status != net::Status::Ok) {
        Write("answering a call failed (" + Describe(io) + "); closing the connection");
        return false;
    }
    return true;
}

void XAgentServer::Write(const std::string& line) const {
    try {
        if (m_log) {
            m_log(line);
        }
    } catch (...) {
        // The log is a spectator: its failure must not take a connection down.
    }
}

}  // namespace vqdemo

#include "agent_proxy/XAgentProxy.h"

#include <chrono>
#include <new>
#include <optional>
#include <string>

#include "protocol/text.h"

#if defined(_WIN32)
#include <oleauto.h>
#endif

namespace vqdemo {

namespace {

using wire::Method;
using wire::Value;

HRESULT ServerUnavailable() {
    return HRESULT_FROM_WIN32(wire::kServerUnavailable);
}
HRESULT CallFailed() {
    return HRESULT_FROM_WIN32(wire::kCallFailed);
}
HRESULT TimedOut() {
    return HRESULT_FROM_WIN32(wire::kCallFailedDidNotRun);
}
HRESULT ServerTooBusy() {
    return HRESULT_FROM_WIN32(wire::kServerTooBusy);
}

// The error frame a server answers a connection with when it serves as many as it can.
bool IsBusyRefusal(wire::DecodeStatus status, const wire::Frame& frame) {
    return status == wire::DecodeStatus::UnknownMethod && frame.kind == wire::Kind::Response &&
           frame.method == 0 && frame.callId == 0 &&
           frame.payload == wire::EncodeResponse(ServerTooBusy(), {});
}

// Runs a method body: no exception may cross the interface.
template <class Body>
HRESULT Shielded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

Value StrValue(BSTR text) {
    if (text == nullptr) {
        return Value::Str(std::nullopt);
    }
    return Value::Str(Utf16FromWide(text, SysStringLen(text)));
}

// A wire string as a new BSTR (null for a null string).
HRESULT ToBstr(const std::optional<std::u16string>& text, BSTR* out) {
    *out = nullptr;
    if (!text) {
        return S_OK;
    }
    const std::wstring wide = WideFromUtf16(*text);
    *out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT XAgentProxy::Create(std::uint16_t port, XAgentProxy** proxy) {
    if (proxy == nullptr) {
        return E_POINTER;
    }
    *proxy = nullptr;
    if (!net::Startup(nullptr)) {
        return ServerUnavailable();
    }
    ATL::CComPtr<XAgentProxy> created(new (std::nothrow) XAgentProxy(port));
    if (!created) {
        return E_OUTOFMEMORY;
    }
#if defined(_WIN32)
    const HRESULT hr = CoCreateFreeThreadedMarshaler(static_cast<IVQServerEmergencyAgent*>(created.p),
                                                     &created->m_marshaler);
    if (FAILED(hr)) {
        return hr;
    }
#endif
    *proxy = created.Detach();
    return S_OK;
}

XAgentProxy::XAgentProxy(std::uint16_t port) : m_port(port) {}

XAgentProxy::~XAgentProxy() {
#if defined(_WIN32)
    if (m_marshaler != nullptr) {
        m_marshaler->Release();
    }
#endif
}

HRESULT XAgentProxy::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IVQServerEmergencyAgent) {
        *ppvObject = static_cast<IVQServerEmergencyAgent*>(this);
    } else if (riid == IID_IVQServerIdentity) {
        *ppvObject = static_cast<IVQServerIdentity*>(this);
#if defined(_WIN32)
    } else if (riid == IID_IMarshal && m_marshaler != nullptr) {
        // The aggregated free-threaded marshaler: the table then hands out this object itself in
        // every apartment instead of a COM proxy, which it could not build for this interface.
        return m_marshaler->QueryInterface(riid, ppvObject);
#endif
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG XAgentProxy::AddRef() {
    return ++m_refs;
}

ULONG XAgentProxy::Release() {
    const ULONG left = --m_refs;
    if (left == 0) {
        delete this;
    }
    return left;
}

HRESULT XAgentProxy::Call(Method method, const std::vector<Value>& in, std::vector<Value>* out) {
    return Shielded([&] {
        std::lock_guard<std::mutex> lock(m_callMutex);
        return CallLocked(method, in, out);
    });
}

HRESULT XAgentProxy::CallLocked(Method method, const std::vector<Value>& in, std::vector<Value>* out) {
    const net::Deadline deadline = net::DeadlineIn(std::chrono::milliseconds(m_timeoutMs.load()));
    const wire::Signature& signature = *wire::FindSignature(static_cast<std::uint8_t>(method));

    wire::Frame request;
    request.kind = wire::Kind::Request;
    request.method = static_cast<std::uint8_t>(method);
    request.callId = m_nextCallId++;
    request.payload = wire::EncodeValues(in);
    const std::vector<std::uint8_t> bytes = wire::EncodeFrame(request);
    if (bytes.empty()) {
        // The arguments do not fit in a frame; nothing is sent.
        return E_INVALIDARG;
    }

    // A connection the server closed while it was idle is replaced silently: the server may have
    // been restarted.
    if (m_connection.Valid() && net::IdleConnectionBroken(m_connection)) {
        m_connection.Close();
    }
    if (!m_connection.Valid()) {
        int error = 0;
        if (net::Connect(m_port, deadline, &m_connection, &error) != net::Status::Ok) {
            return ServerUnavailable();
        }
    }

    // From here every failure leaves the connection in an unknown state: it is dropped, and the
    // next call connects afresh.
    auto fail = [this](const net::IoResult& io, bool requestSent) {
        m_connection.Close();
        if (io.status == net::Status::TimedOut) {
            return TimedOut();
        }
        return requestSent || io.done > 0 ? CallFailed() : ServerUnavailable();
    };
    net::IoResult io = net::SendAll(m_connection, bytes.data(), bytes.size(), deadline);
    if (io.status != net::Status::Ok) {
        return fail(io, false);
    }
    std::uint8_t field[wire::kLengthFieldSize];
    io = net::ReceiveAll(m_connection, field, sizeof(field), deadline);
    if (io.status != net::Status::Ok) {
        return fail(io, true);
    }
    std::uint32_t bodySize = 0;
    if (wire::DecodeLength(field, &bodySize) != wire::DecodeStatus::Ok) {
        m_connection.Close();
        return CallFailed();
    }
    std::vector<std::uint8_t> body(bodySize);
    io = net::ReceiveAll(m_connection, body.data(), body.size(), deadline);
    if (io.status != net::Status::Ok) {
        return fail(io, true);
    }
    wire::Frame response;
    std::optional<wire::Response> decoded;
    const wire::DecodeStatus status = wire::DecodeBody(body.data(), body.size(), &response);
    if (status == wire::DecodeStatus::Ok && response.kind == wire::Kind::Response &&
        response.method == request.method && response.callId == request.callId) {
        decoded = wire::DecodeResponse(signature, response.payload);
    } else if (IsBusyRefusal(status, response)) {
        m_connection.Close();
        return ServerTooBusy();
    }
    if (!decoded) {
        m_connection.Close();
        return CallFailed();
    }
    if (SUCCEEDED(decoded->hr) && out != nullptr) {
        *out = std::move(decoded->out);
    }
    return decoded->hr;
}

HRESULT XAgentProxy::CallForString(Method method, const std::vector<Value>& in, BSTR* text) {
    if (text == nullptr) {
        return E_POINTER;
    }
    *text = nullptr;
    std::vector<Value> out;
    const HRESULT hr = Call(method, in, &out);
    if (FAILED(hr)) {
        return hr;
    }
    const HRESULT made = ToBstr(out[0].str, text);
    return FAILED(made) ? made : hr;
}

HRESULT XAgentProxy::CallForU32(Method method, DWORD* value) {
    if (value == nullptr) {
        return E_POINTER;
    }
    std::vector<Value> out;
    const HRESULT hr = Call(method, {}, &out);
    if (SUCCEEDED(hr)) {
        *value = out[0].u32;
    }
    return hr;
}

HRESULT XAgentProxy::GetServerEmergencyState(DWORD* pState) {
    return Shielded([&] { return CallForU32(Method::GetServerEmergencyState, pState); });
}

HRESULT XAgentProxy::SetServerEmergencyState(DWORD state) {
    return Shielded([&] { return Call(Method::SetServerEmergencyState, {Value::U32(state)}, nullptr); });
}

HRESULT XAgentProxy::GetServerEmergencyStateText(DWORD state, BSTR* pText) {
    return Shielded(
        [&] { return CallForString(Method::GetServerEmergencyStateText, {Value::U32(state)}, pText); });
}

HRESULT XAgentProxy::GetServerEmergencyStateAge(DWORD* pSeconds) {
    return Shielded([&] { return CallForU32(Method::GetServerEmergencyStateAge, pSeconds); });
}

HRESULT XAgentProxy::AcknowledgeServerEmergency(DWORD processId, BSTR computerName) {
    return Shielded([&] {
        return Call(Method::AcknowledgeServerEmergency, {Value::U32(processId), StrValue(computerName)},
                    nullptr);
    });
}

HRESULT XAgentProxy::SetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) {
    if (pConfiguration == nullptr) {
        return E_POINTER;
    }
    return Shielded([&] {
        return Call(Method::SetEmergencyConfiguration,
                    {Value::U32(pConfiguration->serverData[0]), Value::U32(pConfiguration->serverData[1]),
                     Value::I32(pConfiguration->activation), Value::U32(pConfiguration->emergencyStateMask)},
                    nullptr);
    });
}

HRESULT XAgentProxy::GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) {
    if (pConfiguration == nullptr) {
        return E_POINTER;
    }
    return Shielded([&] {
        std::vector<Value> out;
        const HRESULT hr = Call(Method::GetEmergencyConfiguration, {}, &out);
        if (SUCCEEDED(hr)) {
            pConfiguration->serverData[0] = out[0].u32;
            pConfiguration->serverData[1] = out[1].u32;
            pConfiguration->activation = out[2].i32;
            pConfiguration->emergencyStateMask = out[3].u32;
        }
        return hr;
    });
}

HRESULT XAgentProxy::GetEmergencyClientCount(LONG* pCount) {
    if (pCount == nullptr) {
        return E_POINTER;
    }
    return Shielded([&] {
        std::vector<Value> out;
        const HRESULT hr = Call(Method::GetEmergencyClientCount, {}, &out);
        if (SUCCEEDED(hr)) {
            *pCount = out[0].i32;
        }
        return hr;
    });
}

HRESULT XAgentProxy::GetEmergencyClient(LONG index, DWORD* pProcessId, BSTR* pComputerName) {
    if (pProcessId == nullptr || pComputerName == nullptr) {
        return E_POINTER;
    }
    *pComputerName = nullptr;
    return Shielded([&] {
        std::vector<Value> out;
        const HRESULT hr = Call(Method::GetEmergencyClient, {Value::I32(index)}, &out);
        if (FAILED(hr)) {
            return hr;
        }
        *pProcessId = out[0].u32;
        const HRESULT made = ToBstr(out[1].str, pComputerName);
        return FAILED(made) ? made : hr;
    });
}

HRESULT XAgentProxy::GetFailoverServerName(BSTR* pServerName) {
    return Shielded([&] { return CallForString(Method::GetFailoverServerName, {}, pServerName); });
}

HRESULT XAgentProxy::SetFailoverServerName(BSTR serverName) {
    return Shielded([&] { return Call(Method::SetFailoverServerName, {StrValue(serverName)}, nullptr); });
}

HRESULT XAgentProxy::StartEmergencyDrill(DWORD state) {
    return Shielded([&] { return Call(Method::StartEmergencyDrill, {Value::U32(state)}, nullptr); });
}

HRESULT XAgentProxy::StopEmergencyDrill() {
    return Shielded([&] { return Call(Method::StopEmergencyDrill, {}, nullptr); });
}

HRESULT XAgentProxy::CancelClientEmergencyFailover(DWORD processId, BSTR computerName) {
    return Shielded([&] {
        return Call(Method::CancelClientEmergencyFailover, {Value::U32(processId), StrValue(computerName)},
                    nullptr);
    });
}

HRESULT XAgentProxy::RequestClientEmergencyFailover(DWORD processId, BSTR computerName, LONG* pResult) {
    if (pResult == nullptr) {
        return E_POINTER;
    }
    return Shielded([&] {
        std::vector<Value> out;
        const HRESULT hr = Call(Method::RequestClientEmergencyFailover,
                                {Value::U32(processId), StrValue(computerName)}, &out);
        if (SUCCEEDED(hr)) {
            *pResult = out[0].i32;
        }
        return hr;
    });
}

HRESULT XAgentProxy::GetServerId(DWORD* pServerId) {
    return Shielded([&] { return CallForU32(Method::GetServerId, pServerId); });
}

HRESULT XAgentProxy::GetServerName(BSTR* pServerName) {
    return Shielded([&] { return CallForString(Method::GetServerName, {}, pServerName); });
}

HRESULT XAgentProxy::GetServerVersion(BSTR* pVersion) {
    return Shielded([&] { return CallForString(Method::GetServerVersion, {}, pVersion); });
}

HRESULT XAgentProxy::GetServerProcessId(DWORD* pProcessId) {
    return Shielded([&] { return CallForU32(Method::GetServerProcessId, pProcessId); });
}

HRESULT XAgentProxy::GetServerComputerName(BSTR* pComputerName) {
    return Shielded([&] { return CallForString(Method::GetServerComputerName, {}, pComputerName); });
}

HRESULT XAgentProxy::GetServerIdentity(ServerIdentity* pIdentity) {
    if (pIdentity == nullptr) {
        return E_POINTER;
    }
    return Shielded([&] {
        std::vector<Value> out;
        const HRESULT hr = Call(Method::GetServerIdentity, {}, &out);
        if (FAILED(hr)) {
            return hr;
        }
        pIdentity->serverId = out[1].u32;
        const HRESULT made = ToBstr(out[0].str, &pIdentity->serverName);
        return FAILED(made) ? made : hr;
    });
}

}  // namespace vqdemo

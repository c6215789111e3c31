// The demo's wire protocol between an agent proxy (client) and an agent server: length-prefixed,
// versioned request and response frames carrying the calls of IVQServerEmergencyAgent and
// IVQServerIdentity. PROTOCOL.md beside this file is the format's reference.
//
// Contract:
// - Encoding and decoding are pure functions on byte buffers; nothing here does I/O. They are
//   thread-safe (no shared state) and never throw except std::bad_alloc.
// - Decoding never trusts the input: a frame that is too short, too long, of another version, of
//   an unknown kind or method, or whose payload does not match the method's signature is reported
//   as such, never read past its end.
// - Strings travel as UTF-16 code units; a null BSTR and an empty string are different values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vqdemo::wire {

inline constexpr std::uint8_t kVersion = 1;
// The length field: 4 bytes, little-endian, counting the bytes after it.
inline constexpr std::size_t kLengthFieldSize = 4;
// version, kind, method, reserved, call id (4 bytes).
inline constexpr std::size_t kHeaderSize = 8;
// The largest frame body (header and payload) a peer accepts.
inline constexpr std::size_t kMaxFrameBody = 64 * 1024;

// Win32 error codes, as Windows RPC reports them, for the failures of a call through the protocol.
// Both peers answer with HRESULT_FROM_WIN32 of them.
inline constexpr std::uint32_t kServerUnavailable = 1722;    // RPC_S_SERVER_UNAVAILABLE
inline constexpr std::uint32_t kServerTooBusy = 1723;        // RPC_S_SERVER_TOO_BUSY
inline constexpr std::uint32_t kCallFailed = 1726;           // RPC_S_CALL_FAILED
inline constexpr std::uint32_t kCallFailedDidNotRun = 1727;  // RPC_S_CALL_FAILED_DNE
inline constexpr std::uint32_t kProtocolError = 1728;        // RPC_S_PROTOCOL_ERROR
inline constexpr std::uint32_t kUnsupportedSyntax = 1730;    // RPC_S_UNSUPPORTED_TRANS_SYN
inline constexpr std::uint32_t kUnknownProcedure = 1745;     // RPC_S_PROCNUM_OUT_OF_RANGE
inline constexpr std::uint32_t kBadStubData = 1783;          // RPC_X_BAD_STUB_DATA

enum class Kind : std::uint8_t { Request = 1, Response = 2 };

// Method ids: the agent's methods by their position after IUnknown, then the identity's.
enum class Method : std::uint8_t {
    GetServerEmergencyState = 1,
    SetServerEmergencyState = 2,
    GetServerEmergencyStateText = 3,
    GetServerEmergencyStateAge = 4,
    AcknowledgeServerEmergency = 5,
    SetEmergencyConfiguration = 6,
    GetEmergencyConfiguration = 7,
    GetEmergencyClientCount = 8,
    GetEmergencyClient = 9,
    GetFailoverServerName = 10,
    SetFailoverServerName = 11,
    StartEmergencyDrill = 12,
    StopEmergencyDrill = 13,
    CancelClientEmergencyFailover = 14,
    RequestClientEmergencyFailover = 15,
    GetServerId = 16,
    GetServerName = 17,
    GetServerVersion = 18,
    GetServerProcessId = 19,
    GetServerComputerName = 20,
    GetServerIdentity = 21,
};

enum class ValueType : std::uint8_t { U32, I32, Str };

// One argument or result. `str` empty (no value) stands for a null BSTR.
struct Value {
    ValueType type = ValueType::U32;
    std::uint32_t u32 = 0;
    std::int32_t i32 = 0;
    std::optional<std::u16string> str;

    static Value U32(std::uint32_t v);
    static Value I32(std::int32_t v);
    static Value Str(std::optional<std::u16string> v);
};

// What a method sends (in) and, on success, answers (out), in order.
struct Signature {
    const char* name;
    std::uint8_t inCount;
    std::array<ValueType, 4> in;
    std::uint8_t outCount;
    std::array<ValueType, 4> out;
};

// The method's signature, or null for an id no method has.
const Signature* FindSignature(std::uint8_t method);

struct Frame {
    Kind kind = Kind::Request;
    std::uint8_t method = 0;
    std::uint32_t callId = 0;
    std::vector<std::uint8_t> payload;
};

enum class DecodeStatus {
    Ok,
    NeedMore,       // the buffer holds the start of a frame only
    Malformed,      // shorter than a header, nonzero reserved byte, or an unknown kind
    Oversized,      // the length field exceeds kMaxFrameBody
    WrongVersion,   // the version byte is not kVersion
    UnknownMethod,  // no method has this id
};

const char* DecodeStatusText(DecodeStatus status);

// The whole frame: length field, header and payload. Fails (empty result) for a payload that would
// exceed kMaxFrameBody.
std::vector<std::uint8_t> EncodeFrame(const Frame& frame);

// Checks a received length field: Ok or Oversized. (A body too short for a header is judged by
// DecodeBody, after its version byte.)
DecodeStatus DecodeLength(const std::uint8_t (&field)[kLengthFieldSize], std::uint32_t* bodySize);

// Decodes a frame body (the bytes after the length field). On WrongVersion `frame` is untouched; on
// UnknownMethod its kind, method and call id are set, so that the call can be answered.
DecodeStatus DecodeBody(const std::uint8_t* body, std::size_t size, Frame* frame);

// Decodes the first frame of `data`; `consumed` receives its full size when the result is not
// NeedMore.
DecodeStatus DecodeFrame(const std::uint8_t* data, std::size_t size, Frame* frame, std::size_t* consumed);

// Payloads. A request's payload is its in-values; a response's is an HRESULT, followed by the
// out-values when the HRESULT is a success code. The decoders give nothing (no value) when the
// bytes do not match the signature exactly, trailing bytes included.
std::vector<std::uint8_t> EncodeValues(const std::vector<Value>& values);
std::optional<std::vector<Value>> DecodeRequest(const Signature& signature,
                                                const std::vector<std::uint8_t>& payload);

struct Response {
    std::int32_t hr = 0;
    std::vector<Value> out;
};
std::vector<std::uint8_t> EncodeResponse(std::int32_t hr, const std::vector<Value>& out);
std::optional<Response> DecodeResponse(const Signature& signature, const std::vector<std::uint8_t>& payload);

// Checks that `values` have the types of `signature`'s in-values (requests) or out-values.
bool MatchesIn(const Signature& signature, const std::vector<Value>& values);
bool MatchesOut(const Signature& signature, const std::vector<Value>& values);

}  // namespace vqdemo::wire

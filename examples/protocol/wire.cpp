#include "protocol/wire.h"

namespace vqdemo::wire {

namespace {

constexpr ValueType U = ValueType::U32;
constexpr ValueType I = ValueType::I32;
constexpr ValueType S = ValueType::Str;
// A string's unit count that stands for a null BSTR.
constexpr std::uint32_t kNullString = 0xFFFFFFFF;

// Indexed by method id - 1.
constexpr Signature kSignatures[] = {
    {"GetServerEmergencyState", 0, {}, 1, {U}},
    {"SetServerEmergencyState", 1, {U}, 0, {}},
    {"GetServerEmergencyStateText", 1, {U}, 1, {S}},
    {"GetServerEmergencyStateAge", 0, {}, 1, {U}},
    {"AcknowledgeServerEmergency", 2, {U, S}, 0, {}},
    {"SetEmergencyConfiguration", 4, {U, U, I, U}, 0, {}},
    {"GetEmergencyConfiguration", 0, {}, 4, {U, U, I, U}},
    {"GetEmergencyClientCount", 0, {}, 1, {I}},
    {"GetEmergencyClient", 1, {I}, 2, {U, S}},
    {"GetFailoverServerName", 0, {}, 1, {S}},
    {"SetFailoverServerName", 1, {S}, 0, {}},
    {"StartEmergencyDrill", 1, {U}, 0, {}},
    {"StopEmergencyDrill", 0, {}, 0, {}},
    {"CancelClientEmergencyFailover", 2, {U, S}, 0, {}},
    {"RequestClientEmergencyFailover", 2, {U, S}, 1, {I}},
    {"GetServerId", 0, {}, 1, {U}},
    {"GetServerName", 0, {}, 1, {S}},
    {"GetServerVersion", 0, {}, 1, {S}},
    {"GetServerProcessId", 0, {}, 1, {U}},
    {"GetServerComputerName", 0, {}, 1, {S}},
    {"GetServerIdentity", 0, {}, 2, {S, U}},
};

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class Reader {
  public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}

    bool U32(std::uint32_t* v) {
        if (m_bytes.size() - m_pos < 4) {
            return false;
        }
        *v = GetU32(m_bytes.data() + m_pos);
        m_pos += 4;
        return true;
    }

    bool Read(ValueType type, Value* value) {
        std::uint32_t raw = 0;
        if (!U32(&raw)) {
            return false;
        }
        value->type = type;
        switch (type) {
            case ValueType::U32:
                value->u32 = raw;
                return true;
            case ValueType::I32:
                value->i32 = static_cast<std::int32_t>(raw);
                return true;
            case ValueType::Str:
                return ReadString(raw, value);
        }
        return false;
    }

    bool AtEnd() const { return m_pos == m_bytes.size(); }

  private:
    bool ReadString(std::uint32_t units, Value* value) {
        if (units == kNullString) {
            value->str.reset();
            return true;
        }
        // Compared in 64 bits: units * 2 cannot overflow there.
        if (static_cast<std::uint64_t>(units) * 2 > m_bytes.size() - m_pos) {
            return false;
        }
        std::u16string text(units, u'\0');
        for (std::uint32_t i = 0; i < units; ++i) {
            text[i] = static_cast<char16_t>(m_bytes[m_pos] | (m_bytes[m_pos + 1] << 8));
            m_pos += 2;
        }
        value->str = std::move(text);
        return true;
    }

    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_pos = 0;
};

bool Matches(const std::array<ValueType, 4>& types, std::uint8_t count, const std::vector<Value>& values) {
    if (values.size() != count) {
        return false;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i].type != types[i]) {
            return false;
        }
    }
    return true;
}

std::optional<std::vector<Value>> ReadValues(Reader& reader, const std::array<ValueType, 4>& types,
                                             std::uint8_t count) {
    std::vector<Value> values(count);
    for (std::uint8_t i = 0; i < count; ++i) {
        if (!reader.Read(types[i], &values[i])) {
            return std::nullopt;
        }
    }
    return values;
}

}  // namespace

Value Value::U32(std::uint32_t v) {
    Value value;
    value.type = ValueType::U32;
    value.u32 = v;
    return value;
}

Value Value::I32(std::int32_t v) {
    Value value;
    value.type = ValueType::I32;
    value.i32 = v;
    return value;
}

Value Value::Str(std::optional<std::u16string> v) {
    Value value;
    value.type = ValueType::Str;
    value.str = std::move(v);
    return value;
}

const Signature* FindSignature(std::uint8_t method) {
    constexpr std::size_t count = sizeof(kSignatures) / sizeof(kSignatures[0]);
    if (method == 0 || method > count) {
        return nullptr;
    }
    return &kSignatures[method - 1];
}

const char* DecodeStatusText(DecodeStatus status) {
    switch (status) {
        case DecodeStatus::Ok:
            return "ok";
        case DecodeStatus::NeedMore:
            return "incomplete frame";
        case DecodeStatus::Malformed:
            return "malformed frame";
        case DecodeStatus::Oversized:
            return "oversized frame";
        case DecodeStatus::WrongVersion:
            return "wrong protocol version";
        case DecodeStatus::UnknownMethod:
            return "unknown method";
    }
    return "?";
}

std::vector<std::uint8_t> EncodeFrame(const Frame& frame) {
    if (frame.payload.size() > kMaxFrameBody - kHeaderSize) {
        return {};
    }
    std::vector<std::uint8_t> out;
    out.reserve(kLengthFieldSize + kHeaderSize + frame.payload.size());
    PutU32(out, static_cast<std::uint32_t>(kHeaderSize + frame.payload.size()));
    out.push_back(kVersion);
    out.push_back(static_cast<std::uint8_t>(frame.kind));
    out.push_back(frame.method);
    out.push_back(0);
    PutU32(out, frame.callId);
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return out;
}

DecodeStatus DecodeLength(const std::uint8_t (&field)[kLengthFieldSize], std::uint32_t* bodySize) {
    const std::uint32_t size = GetU32(field);
    if (size > kMaxFrameBody) {
        return DecodeStatus::Oversized;
    }
    *bodySize = size;
    return DecodeStatus::Ok;
}

DecodeStatus DecodeBody(const std::uint8_t* body, std::size_t size, Frame* frame) {
    if (size > kMaxFrameBody) {
        return DecodeStatus::Oversized;
    }
    // The version comes first so that a peer of another version is told so, whatever its header.
    if (size >= 1 && body[0] != kVersion) {
        return DecodeStatus::WrongVersion;
    }
    if (size < kHeaderSize) {
        return DecodeStatus::Malformed;
    }
    const std::uint8_t kind = body[1];
    if ((kind != static_cast<std::uint8_t>(Kind::Request) &&
         kind != static_cast<std::uint8_t>(Kind::Response)) ||
        body[3] != 0) {
        return DecodeStatus::Malformed;
    }
    frame->kind = static_cast<Kind>(kind);
    frame->method = body[2];
    frame->callId = GetU32(body + 4);
    frame->payload.assign(body + kHeaderSize, body + size);
    return FindSignature(frame->method) != nullptr ? DecodeStatus::Ok : DecodeStatus::UnknownMethod;
}

DecodeStatus DecodeFrame(const std::uint8_t* data, std::size_t size, Frame* frame, std::size_t* consumed) {
    if (size < kLengthFieldSize) {
        return DecodeStatus::NeedMore;
    }
    std::uint8_t field[kLengthFieldSize] = {data[0], data[1], data[2], data[3]};
    std::uint32_t bodySize = 0;
    const DecodeStatus status = DecodeLength(field, &bodySize);
    if (status != DecodeStatus::Ok) {
        *consumed = kLengthFieldSize + static_cast<std::size_t>(GetU32(field));
        return status;
    }
    if (size - kLengthFieldSize < bodySize) {
        return DecodeStatus::NeedMore;
    }
    *consumed = kLengthFieldSize + bodySize;
    return DecodeBody(data + kLengthFieldSize, bodySize, frame);
}

std::vector<std::uint8_t> EncodeValues(const std::vector<Value>& values) {
    std::vector<std::uint8_t> out;
    for (const Value& value : values) {
        switch (value.type) {
            case ValueType::U32:
                PutU32(out, value.u32);
                break;
            case ValueType::I32:
                PutU32(out, static_cast<std::uint32_t>(value.i32));
                break;
            case ValueType::Str:
                if (!value.str) {
                    PutU32(out, kNullString);
                    break;
                }
                PutU32(out, static_cast<std::uint32_t>(value.str->size()));
                for (const char16_t unit : *value.str) {
                    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
                    out.push_back(static_cast<std::uint8_t>(unit >> 8));
                }
                break;
        }
    }
    return out;
}

std::optional<std::vector<Value>> DecodeRequest(const Signature& signature,
                                                const std::vector<std::uint8_t>& payload) {
    Reader reader(payload);
    auto values = ReadValues(reader, signature.in, signature.inCount);
    if (!values || !reader.AtEnd()) {
        return std::nullopt;
    }
    return values;
}

std::vector<std::uint8_t> EncodeResponse(std::int32_t hr, const std::vector<Value>& out) {
    std::vector<std::uint8_t> payload;
    PutU32(payload, static_cast<std::uint32_t>(hr));
    if (hr >= 0) {
        const std::vector<std::uint8_t> values = EncodeValues(out);
        payload.insert(payload.end(), values.begin(), values.end());
    }
    return payload;
}

std::optional<Response> DecodeResponse(const Signature& signature, const std::vector<std::uint8_t>& payload) {
    Reader reader(payload);
    std::uint32_t hr = 0;
    if (!reader.U32(&hr)) {
        return std::nullopt;
    }
    Response response;
    response.hr = static_cast<std::int32_t>(hr);
    if (response.hr >= 0) {
        auto values = ReadValues(reader, signature.out, signature.outCount);
        if (!values) {
            return std::nullopt;
        }
        response.out = std::move(*values);
    }
    if (!reader.AtEnd()) {
        return std::nullopt;
    }
    return response;
}

bool MatchesIn(const Signature& signature, const std::vector<Value>& values) {
    return Matches(signature.in, signature.inCount, values);
}

bool MatchesOut(const Signature& signature, const std::vector<Value>& values) {
    return Matches(signature.out, signature.outCount, values);
}

}  // namespace vqdemo::wire

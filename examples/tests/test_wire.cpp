// The demo's wire codec on byte buffers (protocol/PROTOCOL.md): every method's frames and payloads
// round-trip, and a decoder rejects what does not match the format instead of reading it.
#include <gtest/gtest.h>

#include "protocol/wire.h"

namespace {

using namespace vqdemo::wire;

constexpr std::int32_t kSuccess = 1;                                   // S_FALSE
const std::int32_t kFailure = static_cast<std::int32_t>(0x80004005u);  // E_FAIL

// A frame body with its length field in front.
std::vector<std::uint8_t> WithLength(std::vector<std::uint8_t> body) {
    const auto size = static_cast<std::uint32_t>(body.size());
    body.insert(body.begin(), {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                               static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)});
    return body;
}

// Values of the given types, using all 32 bits and a character beyond the BMP.
std::vector<Value> Sample(const std::array<ValueType, 4>& types, std::uint8_t count) {
    std::vector<Value> values;
    for (std::uint8_t i = 0; i < count; ++i) {
        values.push_back(types[i] == ValueType::U32   ? Value::U32(0xFFFFFFF0u + i)
                         : types[i] == ValueType::I32 ? Value::I32(-2 - i)
                                                      : Value::Str(u"n\u00e4me\U0001D11E"));
    }
    return values;
}

void ExpectSameValues(const std::vector<Value>& actual, const std::vector<Value>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].type, expected[i].type);
        EXPECT_EQ(actual[i].u32, expected[i].u32);
        EXPECT_EQ(actual[i].i32, expected[i].i32);
        EXPECT_EQ(actual[i].str, expected[i].str);
    }
}

TEST(WireCodec, FramesHaveTheDocumentedLayout) {
    Frame frame;
    frame.method = static_cast<std::uint8_t>(Method::RequestClientEmergencyFailover);
    frame.callId = 0xA1B2C3D4;
    frame.payload = {0xAA, 0xBB};
    const std::vector<std::uint8_t> expected = {10, 0,    0,    0,    kVersion, 1,    15,
                                                0,  0xD4, 0xC3, 0xB2, 0xA1,     0xAA, 0xBB};
    EXPECT_EQ(EncodeFrame(frame), expected);
}

TEST(WireCodec, EveryMethodsRequestAndResponseRoundTripInAFrame) {
    for (std::uint8_t method = 1; method <= 21; ++method) {
        const Signature* signature = FindSignature(method);
        ASSERT_NE(signature, nullptr) << int(method);
        const std::vector<Value> in = Sample(signature->in, signature->inCount);
        const std::vector<Value> out = Sample(signature->out, signature->outCount);
        for (const Kind kind : {Kind::Request, Kind::Response}) {
            Frame frame;
            frame.kind = kind;
            frame.method = method;
            frame.callId = 0x80000000u + method;
            frame.payload = kind == Kind::Request ? EncodeValues(in) : EncodeResponse(kSuccess, out);
            std::vector<std::uint8_t> bytes = EncodeFrame(frame);
            bytes.push_back(0xEE);  // the next frame's first byte: not consumed
            Frame decoded;
            std::size_t consumed = 0;
            ASSERT_EQ(DecodeFrame(bytes.data(), bytes.size(), &decoded, &consumed), DecodeStatus::Ok)
                << signature->name;
            EXPECT_EQ(consumed, bytes.size() - 1);
            EXPECT_EQ(decoded.kind, kind);
            EXPECT_EQ(decoded.method, method);
            EXPECT_EQ(decoded.callId, frame.callId);
            if (kind == Kind::Request) {
                const auto values = DecodeRequest(*signature, decoded.payload);
                ASSERT_TRUE(values) << signature->name;
                ExpectSameValues(*values, in);
            } else {
                const auto response = DecodeResponse(*signature, decoded.payload);
                ASSERT_TRUE(response) << signature->name;
                EXPECT_EQ(response->hr, kSuccess);
                ExpectSameValues(response->out, out);
            }
        }
    }
}

TEST(WireCodec, NullAndEmptyStringsStayApart) {
    const Signature& signature = *FindSignature(static_cast<std::uint8_t>(Method::SetFailoverServerName));
    const auto null = DecodeRequest(signature, EncodeValues({Value::Str(std::nullopt)}));
    const auto empty = DecodeRequest(signature, EncodeValues({Value::Str(u"")}));
    ASSERT_TRUE(null && empty);
    EXPECT_FALSE((*null)[0].str.has_value());
    EXPECT_EQ((*empty)[0].str, std::u16string());
}

TEST(WireCodec, RejectsTruncatedOversizedAndMalformedFrames) {
    const std::uint8_t m = static_cast<std::uint8_t>(Method::GetServerEmergencyState);
    // `consumed`: the size DecodeFrame gives the frame (0: left alone).
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        DecodeStatus expected;
        std::size_t consumed;
    } cases[] = {
        {"part of a length field", {8, 0, 0}, DecodeStatus::NeedMore, 0},
        {"part of a body", {8, 0, 0, 0, kVersion, 1, m, 0, 1}, DecodeStatus::NeedMore, 0},
        {"empty body", WithLength({}), DecodeStatus::Malformed, 4},
        {"shorter than a header", WithLength({kVersion, 1, m}), DecodeStatus::Malformed, 7},
        {"unknown kind", WithLength({kVersion, 3, m, 0, 1, 0, 0, 0}), DecodeStatus::Malformed, 12},
        {"nonzero reserved byte", WithLength({kVersion, 1, m, 7, 1, 0, 0, 0}), DecodeStatus::Malformed, 12},
        {"other version", WithLength({2, 1, m, 0, 1, 0, 0, 0}), DecodeStatus::WrongVersion, 12},
        {"other version, shorter than a header", WithLength({0}), DecodeStatus::WrongVersion, 5},
        {"unknown method", WithLength({kVersion, 1, 22, 0, 1, 0, 0, 0}), DecodeStatus::UnknownMethod, 12},
        {"oversized, length field only", {0x01, 0x00, 0x01, 0x00}, DecodeStatus::Oversized, 4 + 0x10001},
        {"oversized, largest length", {0xFF, 0xFF, 0xFF, 0xFF}, DecodeStatus::Oversized, 4 + 0xFFFFFFFFull},
    };
    for (const auto& c : cases) {
        Frame frame;
        std::size_t consumed = 0;
        EXPECT_EQ(DecodeFrame(c.bytes.data(), c.bytes.size(), &frame, &consumed), c.expected) << c.what;
        EXPECT_EQ(consumed, c.consumed) << c.what;
    }
    Frame big;
    big.payload.assign(kMaxFrameBody - kHeaderSize, 0);
    EXPECT_EQ(EncodeFrame(big).size(), kLengthFieldSize + kMaxFrameBody);
    big.payload.push_back(0);
    EXPECT_TRUE(EncodeFrame(big).empty());
}

TEST(WireCodec, RejectsPayloadsThatDoNotMatchTheSignature) {
    // In: a U32 and a string; out: an I32.
    const Signature& signature =
        *FindSignature(static_cast<std::uint8_t>(Method::RequestClientEmergencyFailover));
    std::vector<std::uint8_t> request = EncodeValues({Value::U32(1), Value::Str(u"pc")});
    for (std::size_t size = 0; size < request.size(); ++size) {
        EXPECT_FALSE(DecodeRequest(signature, {request.begin(), request.begin() + size})) << size;
    }
    request.push_back(0);
    const std::vector<std::uint8_t> badRequests[] = {
        request,                                       // a trailing byte
        {1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0x7F, 'a', 0},  // a string longer than the payload
        {1, 0, 0, 0, 0x00, 0x00, 0x00, 0x80, 'a', 0},  // its byte count overflows 32 bits
    };
    for (const auto& payload : badRequests) {
        EXPECT_FALSE(DecodeRequest(signature, payload));
    }
    const std::vector<std::uint8_t> badResponses[] = {
        {},                                                 // no HRESULT
        EncodeResponse(0, {}),                              // a success without its value
        EncodeResponse(0, {Value::I32(0), Value::I32(0)}),  // one value too many
        {0xBA, 0x06, 0x07, 0x80, 0, 0, 0, 0},               // a failure with a value
    };
    for (const auto& payload : badResponses) {
        EXPECT_FALSE(DecodeResponse(signature, payload));
    }
    // A failure carries its HRESULT and nothing else.
    const auto failed = DecodeResponse(signature, EncodeResponse(kFailure, {Value::I32(0)}));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->hr, kFailure);
    EXPECT_TRUE(failed->out.empty());
}

}  // namespace

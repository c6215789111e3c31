// The demo's wire codec on byte buffers (protocol/PROTOCOL.md): the frame layout, and every method's
// frames and payloads round-trip.
#include <gtest/gtest.h>

#include "protocol/wire.h"

namespace {

using namespace vqdemo::wire;

constexpr std::int32_t kSuccess = 1;  // S_FALSE

// Values of the given types, using all 32 bits; strings take turns being null, empty and holding
// a character beyond the BMP, so that null and empty are seen to stay apart.
std::vector<Value> Sample(const std::array<ValueType, 4>& types, std::uint8_t count) {
    static const std::optional<std::u16string> kStrings[] = {std::nullopt, u"", u"n\u00e4me\U0001D11E"};
    static std::size_t next = 0;
    std::vector<Value> values;
    for (std::uint8_t i = 0; i < count; ++i) {
        values.push_back(types[i] == ValueType::U32   ? Value::U32(0xFFFFFFF0u + i)
                         : types[i] == ValueType::I32 ? Value::I32(-2 - i)
                                                      : Value::Str(kStrings[next++ % 3]));
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

}  // namespace

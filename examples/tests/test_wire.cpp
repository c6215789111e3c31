// The demo's wire protocol and text conversions, on byte buffers: what a peer may rely on, and
// that nothing a peer sends makes a decoder read out of bounds or accept a broken frame.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "protocol/text.h"
#include "protocol/wire.h"

namespace {

using namespace vqdemo::wire;

Frame SampleFrame() {
    Frame frame;
    frame.kind = Kind::Request;
    frame.method = static_cast<std::uint8_t>(Method::RequestClientEmergencyFailover);
    frame.callId = 0xA1B2C3D4;
    frame.payload = EncodeValues({Value::U32(4321), Value::Str(u"host")});
    return frame;
}

// A frame body (no length field) from raw header bytes and a payload.
std::vector<std::uint8_t> WithLength(std::vector<std::uint8_t> body) {
    const auto size = static_cast<std::uint32_t>(body.size());
    const std::uint8_t length[4] = {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                                    static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
    body.insert(body.begin(), std::begin(length), std::end(length));
    return body;
}

DecodeStatus Decode(const std::vector<std::uint8_t>& bytes, Frame* frame = nullptr) {
    Frame scratch;
    std::size_t consumed = 0;
    return DecodeFrame(bytes.data(), bytes.size(), frame != nullptr ? frame : &scratch, &consumed);
}

TEST(WireFrame, RoundTripsWithTheDocumentedLayout) {
    const Frame frame = SampleFrame();
    const std::vector<std::uint8_t> bytes = EncodeFrame(frame);
    ASSERT_EQ(bytes.size(), kLengthFieldSize + kHeaderSize + frame.payload.size());
    // Little-endian length of header and payload, then version, kind, method, reserved, call id.
    EXPECT_EQ(bytes[0], kHeaderSize + frame.payload.size());
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes[4], kVersion);
    EXPECT_EQ(bytes[5], 1);
    EXPECT_EQ(bytes[6], 15);
    EXPECT_EQ(bytes[7], 0);
    EXPECT_EQ(bytes[8], 0xD4);
    EXPECT_EQ(bytes[11], 0xA1);

    Frame decoded;
    std::size_t consumed = 0;
    ASSERT_EQ(DecodeFrame(bytes.data(), bytes.size(), &decoded, &consumed), DecodeStatus::Ok);
    EXPECT_EQ(consumed, bytes.size());
    EXPECT_EQ(decoded.kind, frame.kind);
    EXPECT_EQ(decoded.method, frame.method);
    EXPECT_EQ(decoded.callId, frame.callId);
    EXPECT_EQ(decoded.payload, frame.payload);
}

TEST(WireFrame, EveryPrefixNeedsMoreAndTrailingBytesAreNotConsumed) {
    std::vector<std::uint8_t> bytes = EncodeFrame(SampleFrame());
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        Frame frame;
        std::size_t consumed = 0;
        EXPECT_EQ(DecodeFrame(bytes.data(), size, &frame, &consumed), DecodeStatus::NeedMore) << size;
    }
    const std::size_t whole = bytes.size();
    bytes.push_back(0xEE);
    Frame frame;
    std::size_t consumed = 0;
    EXPECT_EQ(DecodeFrame(bytes.data(), bytes.size(), &frame, &consumed), DecodeStatus::Ok);
    EXPECT_EQ(consumed, whole);
}

TEST(WireFrame, RejectsOversizedFramesBeforeReadingThem) {
    for (const std::uint32_t size :
         {static_cast<std::uint32_t>(kMaxFrameBody + 1), 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        const std::uint8_t field[kLengthFieldSize] = {
            static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
        std::uint32_t body = 0;
        EXPECT_EQ(DecodeLength(field, &body), DecodeStatus::Oversized) << size;
        // Only the length field is present: the size is judged before any body is awaited.
        EXPECT_EQ(Decode({field[0], field[1], field[2], field[3]}), DecodeStatus::Oversized) << size;
    }
    Frame big;
    big.payload.assign(kMaxFrameBody - kHeaderSize + 1, 0);
    EXPECT_TRUE(EncodeFrame(big).empty());
    big.payload.pop_back();
    EXPECT_EQ(EncodeFrame(big).size(), kLengthFieldSize + kMaxFrameBody);
}

TEST(WireFrame, RejectsMalformedHeaders) {
    const std::uint8_t method = static_cast<std::uint8_t>(Method::GetServerEmergencyState);
    // Shorter than a header.
    EXPECT_EQ(Decode(WithLength({kVersion, 1, method})), DecodeStatus::Malformed);
    EXPECT_EQ(Decode(WithLength({})), DecodeStatus::Malformed);
    // Unknown kinds, and a nonzero reserved byte.
    EXPECT_EQ(Decode(WithLength({kVersion, 0, method, 0, 1, 0, 0, 0})), DecodeStatus::Malformed);
    EXPECT_EQ(Decode(WithLength({kVersion, 3, method, 0, 1, 0, 0, 0})), DecodeStatus::Malformed);
    EXPECT_EQ(Decode(WithLength({kVersion, 1, method, 7, 1, 0, 0, 0})), DecodeStatus::Malformed);
    EXPECT_EQ(Decode(WithLength({kVersion, 1, method, 0, 1, 0, 0, 0})), DecodeStatus::Ok);
}

TEST(WireFrame, RejectsOtherVersionsWhateverFollows) {
    for (const std::uint8_t version : {0, 2, 255}) {
        Frame frame;
        frame.callId = 77;
        EXPECT_EQ(Decode(WithLength({version, 1, 1, 0, 9, 0, 0, 0}), &frame), DecodeStatus::WrongVersion);
        EXPECT_EQ(frame.callId, 77u) << "a frame of another version is not read";
        // Even one too short for a version-1 header.
        EXPECT_EQ(Decode(WithLength({version})), DecodeStatus::WrongVersion);
    }
}

TEST(WireFrame, UnknownMethodsAreReportedWithTheCallToAnswer) {
    for (const std::uint8_t method : {0, 22, 99, 255}) {
        Frame frame;
        EXPECT_EQ(Decode(WithLength({kVersion, 1, method, 0, 5, 0, 0, 0}), &frame),
                  DecodeStatus::UnknownMethod);
        EXPECT_EQ(frame.method, method);
        EXPECT_EQ(frame.callId, 5u);
        EXPECT_EQ(FindSignature(method), nullptr);
    }
    for (std::uint8_t method = 1; method <= 21; ++method) {
        EXPECT_NE(FindSignature(method), nullptr) << int(method);
    }
    EXPECT_STREQ(FindSignature(15)->name, "RequestClientEmergencyFailover");
    EXPECT_STREQ(FindSignature(21)->name, "GetServerIdentity");
}

TEST(WirePayload, RequestsRoundTripForEveryMethod) {
    for (std::uint8_t method = 1; method <= 21; ++method) {
        const Signature& signature = *FindSignature(method);
        std::vector<Value> values;
        for (std::uint8_t i = 0; i < signature.inCount; ++i) {
            switch (signature.in[i]) {
                case ValueType::U32:
                    values.push_back(Value::U32(0xFFFFFFF0u + i));
                    break;
                case ValueType::I32:
                    values.push_back(Value::I32(-2 - i));
                    break;
                case ValueType::Str:
                    values.push_back(Value::Str(u"n\u00e4me\U0001D11E"));
                    break;
            }
        }
        ASSERT_TRUE(MatchesIn(signature, values));
        const auto decoded = DecodeRequest(signature, EncodeValues(values));
        ASSERT_TRUE(decoded) << signature.name;
        ASSERT_EQ(decoded->size(), values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ((*decoded)[i].u32, values[i].u32);
            EXPECT_EQ((*decoded)[i].i32, values[i].i32);
            EXPECT_EQ((*decoded)[i].str, values[i].str);
        }
    }
}

TEST(WirePayload, NullAndEmptyStringsStayApart) {
    const Signature& signature = *FindSignature(static_cast<std::uint8_t>(Method::SetFailoverServerName));
    const auto null = DecodeRequest(signature, EncodeValues({Value::Str(std::nullopt)}));
    const auto empty = DecodeRequest(signature, EncodeValues({Value::Str(u"")}));
    ASSERT_TRUE(null && empty);
    EXPECT_FALSE((*null)[0].str.has_value());
    ASSERT_TRUE((*empty)[0].str.has_value());
    EXPECT_TRUE((*empty)[0].str->empty());
}

TEST(WirePayload, RejectsTruncatedAndTrailingBytes) {
    const Signature& signature =
        *FindSignature(static_cast<std::uint8_t>(Method::RequestClientEmergencyFailover));
    std::vector<std::uint8_t> payload = EncodeValues({Value::U32(1), Value::Str(u"computer")});
    for (std::size_t size = 0; size < payload.size(); ++size) {
        EXPECT_FALSE(DecodeRequest(signature, {payload.begin(), payload.begin() + size})) << size;
    }
    payload.push_back(0);
    EXPECT_FALSE(DecodeRequest(signature, payload));
    // A string longer than the payload, including one whose byte count overflows 32 bits.
    EXPECT_FALSE(DecodeRequest(signature, {1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0x7F, 'a', 0}));
    EXPECT_FALSE(DecodeRequest(signature, {1, 0, 0, 0, 0x00, 0x00, 0x00, 0x80, 'a', 0}));
}

TEST(WirePayload, ResponsesCarryValuesOnlyOnSuccess) {
    const Signature& signature = *FindSignature(static_cast<std::uint8_t>(Method::GetServerIdentity));
    const auto ok = DecodeResponse(signature, EncodeResponse(0, {Value::Str(u"srv"), Value::U32(7)}));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->hr, 0);
    ASSERT_EQ(ok->out.size(), 2u);
    EXPECT_EQ(ok->out[0].str, std::u16string(u"srv"));
    EXPECT_EQ(ok->out[1].u32, 7u);

    const std::int32_t failure = static_cast<std::int32_t>(0x800706BA);
    const std::vector<std::uint8_t> failed = EncodeResponse(failure, {Value::Str(u"ignored"), Value::U32(1)});
    EXPECT_EQ(failed.size(), 4u);
    const auto decoded = DecodeResponse(signature, failed);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->hr, failure);
    EXPECT_TRUE(decoded->out.empty());

    // A success without its values, or with values of another method.
    EXPECT_FALSE(DecodeResponse(signature, EncodeResponse(0, {})));
    EXPECT_FALSE(DecodeResponse(signature, EncodeResponse(0, {Value::U32(7)})));
    EXPECT_FALSE(DecodeResponse(signature, {}));
}

TEST(WireDecoders, SurviveRandomInput) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint8_t> bytes(random() % 48);
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        if (bytes.size() >= 6 && round % 2 == 0) {
            // Plausible frames, to get past the header checks.
            const auto body = static_cast<std::uint32_t>(bytes.size() - 4);
            std::memcpy(bytes.data(), &body, 4);
            bytes[4] = kVersion;
        }
        Frame frame;
        std::size_t consumed = 0;
        const DecodeStatus status = DecodeFrame(bytes.data(), bytes.size(), &frame, &consumed);
        if (status == DecodeStatus::Ok) {
            EXPECT_LE(consumed, bytes.size());
            const Signature& signature = *FindSignature(frame.method);
            const auto request = DecodeRequest(signature, frame.payload);
            if (request) {
                EXPECT_TRUE(MatchesIn(signature, *request));
            }
            const auto response = DecodeResponse(signature, frame.payload);
            if (response && response->hr >= 0) {
                EXPECT_TRUE(MatchesOut(signature, response->out));
            }
        }
    }
}

TEST(DemoText, ConvertsBetweenUtf8Utf16AndWideStrings) {
    const std::u16string text = u"K\u00f6ln \u6771\u4eac \U0001F600";
    EXPECT_EQ(vqdemo::Utf16FromUtf8(vqdemo::Utf8FromUtf16(text)), text);
    const std::wstring wide = vqdemo::WideFromUtf16(text);
    EXPECT_EQ(vqdemo::Utf16FromWide(wide.data(), wide.size()), text);
    EXPECT_EQ(vqdemo::Utf8FromWide(wide), "K\xc3\xb6ln \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x98\x80");
}

TEST(DemoText, ReplacesWhatCannotBeConverted) {
    EXPECT_EQ(vqdemo::Utf8FromUtf16(std::u16string{u'a', char16_t(0xD800), u'b'}),
              "a\xef\xbf\xbd"
              "b");
    EXPECT_EQ(vqdemo::Utf8FromUtf16(std::u16string{char16_t(0xDC00)}), "\xef\xbf\xbd");
    // Truncated, overlong and stray continuation bytes.
    EXPECT_EQ(vqdemo::Utf16FromUtf8("\xe6\x9d"), u"\uFFFD");
    EXPECT_EQ(vqdemo::Utf16FromUtf8("\xc0\xaf"), u"\uFFFD");
    EXPECT_EQ(vqdemo::Utf16FromUtf8("\x80x"), u"\uFFFDx");
}

}  // namespace

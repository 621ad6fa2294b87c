// Wire bytes of every frame kind, encoding that can be repeated, encode ->
// decode round trips through the byte helpers and the packet decoders (every
// prefix of a packet needs more bytes), and the logger's line format.
#include <gtest/gtest.h>

#include <cstring>

#include "mqtt/codec/client.h"
#include "mqtt/codec/decode.h"
#include "mqtt/codec/frame.h"
#include "mqtt/codec/frame_acks.h"
#include "mqtt/codec/frame_connect.h"
#include "mqtt/codec/frame_publish.h"
#include "mqtt/codec/logger.h"
#include "support/hex.h"

using namespace tgw::mqtt;
using tgw::test::hex;
using tgw::test::toHex;

namespace {

// A client with settable values, for CONNECT encoding.
class SettingsClient : public MqttClient {
  public:
    std::string host() const override { return "localhost"; }
    uint16_t port() const override { return 1883; }
    std::string clientID() const override { return id; }
    std::optional<std::string> username() const override { return user; }
    void setUsername(std::optional<std::string> u) override { user = std::move(u); }
    std::optional<std::string> password() const override { return pass; }
    void setPassword(std::optional<std::string> p) override { pass = std::move(p); }
    bool cleanSession() const override { return clean; }
    void setCleanSession(bool c) override { clean = c; }
    uint16_t keepAlive() const override { return keep; }
    void setKeepAlive(uint16_t k) override { keep = k; }
    std::optional<MqttWill> willMessage() const override { return will; }
    void setWillMessage(std::optional<MqttWill> w) override { will = std::move(w); }
    bool connect() override { return false; }
    void disconnect() override {}
    void ping() override {}
    uint16_t subscribe(const std::string&, MqttQos) override { return 0; }
    uint16_t unsubscribe(const std::string&) override { return 0; }
    using MqttClient::publish;
    uint16_t publish(const MqttMessage&) override { return 0; }

    std::string id = "c1";
    std::optional<std::string> user, pass;
    bool clean = true;
    uint16_t keep = 60;
    std::optional<MqttWill> will;
};

std::string encoded(const MqttFrame& frame) {
    const auto bytes = frame.data();
    return bytes ? toHex(*bytes) : "<none>";
}

class CaptureStdout {
  public:
    CaptureStdout() { testing::internal::CaptureStdout(); }
    std::string text() { return testing::internal::GetCapturedStdout(); }
};

}  // namespace

TEST(FrameEncoding, RemainingLengthAtEveryBoundary) {
    const std::pair<uint32_t, const char*> rows[] = {
        {0, "00"},
        {127, "7F"},
        {128, "80 01"},
        {16383, "FF 7F"},
        {16384, "80 80 01"},
        {2097151, "FF FF 7F"},
        {2097152, "80 80 80 01"},
        {268435455, "FF FF FF 7F"},
    };
    for (const auto& [length, bytes] : rows) {
        EXPECT_EQ(toHex(encodeRemainingLength(length).value()), toHex(hex(bytes))) << length;
        const auto back = readRemainingLength(hex(bytes));
        ASSERT_TRUE(back) << length;
        EXPECT_EQ(back->value, length);
        EXPECT_EQ(back->size, hex(bytes).size());
    }
    EXPECT_FALSE(encodeRemainingLength(268435456));
    EXPECT_FALSE(readRemainingLength(hex("FF FF")));           // ends early
    EXPECT_FALSE(readRemainingLength(hex("80 80 80 80 01")));  // five bytes
}

TEST(FrameEncoding, WholeFramesCarryTheirLengthBytes) {
    MqttFrame big(MqttFrameType::publish, Bytes(16384, 0x61));
    const Bytes wire = big.data().value();
    ASSERT_EQ(wire.size(), 1u + 3u + 16384u);
    EXPECT_EQ(toHex(Bytes(wire.begin(), wire.begin() + 4)), "30 80 80 01");
}

TEST(FrameEncoding, PayloadlessFramesAndByteHelpers) {
    EXPECT_EQ(encoded(MqttFrame(MqttFrameType::pingreq)), "C0 00");
    EXPECT_EQ(encoded(MqttFrame(MqttFrameType::disconnect)), "E0 00");
    EXPECT_EQ(toHex(hlBytes(0x1234)), "12 34");
    EXPECT_EQ(toHex(hlBytes(10)), "00 0A");
    EXPECT_EQ(toHex(*bytesWithLength("")), "00 00");
    EXPECT_EQ(toHex(*bytesWithLength("abc")), "00 03 61 62 63");
    EXPECT_EQ(toHex(*bytesWithLength("\xC3\xA9")), "00 02 C3 A9");  // counts bytes
    EXPECT_EQ(bytesWithLength(std::string(65535, 'x'))->size(), 65537u);
    EXPECT_FALSE(bytesWithLength(std::string(65536, 'x')));
    // The decoders mirror them and refuse bytes that end early.
    EXPECT_EQ(readHlBytes(hex("12 34")), 0x1234);
    EXPECT_EQ(readHlBytes(hex("00 12 34"), 1), 0x1234);
    EXPECT_FALSE(readHlBytes(hex("12")));
    EXPECT_FALSE(readHlBytes(hex("12 34"), 1));
    const Bytes abc = hex("00 03 61 62 63");
    EXPECT_EQ(toString(readBytesWithLength(abc).value()), "abc");
    EXPECT_TRUE(readBytesWithLength(hex("00 00"))->empty());
    EXPECT_FALSE(readBytesWithLength(hex("00 03 61 62")));
}

TEST(FrameEncoding, TextTooLongForItsPrefixRefusesTheWholeFrame) {
    MqttFramePublish frame(7, std::string(70000, 't'), toBytes("hi"));
    frame.setQos(1);
    EXPECT_FALSE(frame.data());
    EXPECT_FALSE(MqttFrameSubscribe(1, std::string(70000, 't'), 1).data());
}

TEST(FrameEncoding, EncodingIsRepeatableAndFollowsTheFields) {
    MqttFramePublish publish(10, "a/b", hex("68 69"));
    publish.setQos(1);
    EXPECT_EQ(encoded(publish), "32 09 00 03 61 2F 62 00 0A 68 69");
    EXPECT_EQ(encoded(publish), "32 09 00 03 61 2F 62 00 0A 68 69");  // the same bytes again
    publish.setQos(0);
    EXPECT_EQ(encoded(publish), "30 07 00 03 61 2F 62 68 69");
    publish.setQos(2);
    publish.setDup(true);
    publish.setRetained(true);
    EXPECT_EQ(publish.header(), 0x3D);
    publish.setDup(false);
    publish.setRetained(false);
    EXPECT_EQ(publish.header(), 0x34);

    SettingsClient c;
    MqttFrameConnect connect(c);
    const std::string first = encoded(connect);
    EXPECT_EQ(encoded(connect), first);
    c.clean = false;  // the frame reads the client when encoded
    EXPECT_EQ(encoded(connect), "10 0E 00 04 4D 51 54 54 04 00 00 3C 00 02 63 31");
    for (const MqttFrame* f : std::initializer_list<const MqttFrame*>{
             new MqttFramePubAck(MqttFrameType::pubrel, 7), new MqttFrameSubscribe(1, "a", 1),
             new MqttFrameUnsubscribe(2, "a")}) {
        EXPECT_EQ(encoded(*f), encoded(*f));
        delete f;
    }
}

TEST(FrameHeader, FlagAccessors) {
    MqttFrame f(0x3D);
    EXPECT_EQ(f.type(), 0x30);
    EXPECT_TRUE(f.dup());
    EXPECT_EQ(f.qos(), 2);
    EXPECT_TRUE(f.retained());

    MqttFrame g(MqttFrameType::publish);
    g.setQos(1);
    g.setRetained(true);
    EXPECT_EQ(g.header(), 0x33);
    g.setDup(false);
    EXPECT_EQ(g.header(), 0x33);

    EXPECT_EQ(frameTypeFromRaw(0x30), MqttFrameType::publish);
    EXPECT_EQ(frameTypeFromRaw(0x00), MqttFrameType::reserved);
    EXPECT_EQ(frameTypeFromRaw(0xE0), MqttFrameType::disconnect);
    EXPECT_FALSE(frameTypeFromRaw(0x32));
    EXPECT_FALSE(frameTypeFromRaw(0xF0));
    EXPECT_FALSE(qosFromRaw(3));
    EXPECT_EQ(qosFromRaw(2), MqttQos::qos2);
}

TEST(ConnectFrame, Variants) {
    SettingsClient c;
    EXPECT_EQ(encoded(MqttFrameConnect(c)), "10 0E 00 04 4D 51 54 54 04 02 00 3C 00 02 63 31");

    c.clean = false;
    EXPECT_EQ(encoded(MqttFrameConnect(c)), "10 0E 00 04 4D 51 54 54 04 00 00 3C 00 02 63 31");

    c.clean = true;
    c.user = "u";
    c.pass = "pw";
    EXPECT_EQ(encoded(MqttFrameConnect(c)),
              "10 15 00 04 4D 51 54 54 04 C2 00 3C 00 02 63 31 00 01 75 00 02 70 77");

    c.user = "";  // present but empty is still sent
    c.pass.reset();
    EXPECT_EQ(encoded(MqttFrameConnect(c)),
              "10 10 00 04 4D 51 54 54 04 82 00 3C 00 02 63 31 00 00");

    c.user.reset();
    c.will = MqttWill("t", "m");
    EXPECT_EQ(encoded(MqttFrameConnect(c)),
              "10 14 00 04 4D 51 54 54 04 0E 00 3C 00 02 63 31 00 01 74 00 01 6D");

    c.will->setQos(MqttQos::qos2);
    c.will->setRetained(true);
    MqttFrameConnect withRetainedWill(c);
    EXPECT_EQ(withRetainedWill.flags(), 0x36);
    EXPECT_TRUE(withRetainedWill.flagWillRetain());
    EXPECT_EQ(withRetainedWill.flagWillQOS(), 2);

    c.will.reset();
    c.keep = 0;
    EXPECT_EQ(encoded(MqttFrameConnect(c)), "10 0E 00 04 4D 51 54 54 04 02 00 00 00 02 63 31");
}

TEST(PublishFrame, PackedAtEachQos) {
    auto publish = [](uint8_t qos, bool retained, bool dup) {
        MqttFramePublish f(10, "a/b", hex("68 69"));
        f.setQos(qos);
        f.setRetained(retained);
        f.setDup(dup);
        return encoded(f);
    };
    EXPECT_EQ(publish(1, false, false), "32 09 00 03 61 2F 62 00 0A 68 69");
    EXPECT_EQ(publish(0, false, false), "30 07 00 03 61 2F 62 68 69");
    EXPECT_EQ(publish(2, false, false), "34 09 00 03 61 2F 62 00 0A 68 69");
    EXPECT_EQ(publish(1, true, true), "3B 09 00 03 61 2F 62 00 0A 68 69");
}

TEST(AckFrames, WireForms) {
    EXPECT_EQ(encoded(MqttFramePubAck(MqttFrameType::puback, 10)), "40 02 00 0A");
    EXPECT_EQ(encoded(MqttFramePubAck(MqttFrameType::pubrec, 10)), "50 02 00 0A");
    EXPECT_EQ(encoded(MqttFramePubAck(MqttFrameType::pubrel, 10)), "62 02 00 0A");
    EXPECT_EQ(encoded(MqttFramePubAck(MqttFrameType::pubcomp, 10)), "70 02 00 0A");
    EXPECT_EQ(encoded(MqttFrameSubscribe(1, "a/tool", 1)),
              "82 0B 00 01 00 06 61 2F 74 6F 6F 6C 01");
    EXPECT_EQ(encoded(MqttFrameUnsubscribe(2, "a/tool")), "A2 0A 00 02 00 06 61 2F 74 6F 6F 6C");
}

TEST(Messages, ValuesAndText) {
    MqttMessage m("/tool/web", std::string_view("{}"));
    EXPECT_EQ(toHex(m.payload()), "7B 7D");
    EXPECT_EQ(m.qos(), MqttQos::qos1);
    EXPECT_FALSE(m.retained());
    EXPECT_FALSE(m.dup());
    EXPECT_EQ(MqttMessage("t", hex("C3 28")).string(), std::nullopt);
    EXPECT_EQ(MqttMessage("t", Bytes{}).string(), std::optional<std::string>(""));
    MqttWill will("t", "abc");
    EXPECT_EQ(toHex(will.payload()), "00 03 61 62 63");
    EXPECT_EQ(will.qos(), MqttQos::qos1);
    EXPECT_EQ(connAckFromCode(5), MqttConnAck::notAuthorized);
    EXPECT_EQ(connAckFromCode(200), MqttConnAck::reservedCode);
    EXPECT_STREQ(toString(MqttConnAck::notAuthorized), "notAuthorized");
}

TEST(Utf8, StrictValidation) {
    EXPECT_TRUE(isValidUtf8(std::string_view("h\xC3\xA9llo \xF0\x9F\x98\x80")));
    EXPECT_FALSE(isValidUtf8(std::string_view("\xC0\xAF")));          // overlong
    EXPECT_FALSE(isValidUtf8(std::string_view("\xED\xA0\x80")));      // surrogate
    EXPECT_FALSE(isValidUtf8(std::string_view("\xF4\x90\x80\x80")));  // above U+10FFFF
    EXPECT_FALSE(isValidUtf8(std::string_view("ab\xE2\x82")));        // cut short
}

TEST(Logger, LevelFilterAndLineFormat) {
    MqttLogger& logger = MqttLogger::logger();
    const MqttLoggerLevel saved = logger.minLevel();
    auto all = [] {
        CaptureStdout out;
        printDebug("d");
        printWarning("w");
        printError("e");
        return out.text();
    };
    logger.setMinLevel(MqttLoggerLevel::warning);
    EXPECT_EQ(all(), "MQTT(warning): w\nMQTT(error): e\n");
    logger.setMinLevel(MqttLoggerLevel::debug);
    EXPECT_EQ(all(), "MQTT(debug): d\nMQTT(warning): w\nMQTT(error): e\n");
    logger.setMinLevel(MqttLoggerLevel::error);
    EXPECT_EQ(all(), "MQTT(error): e\n");
    logger.setMinLevel(MqttLoggerLevel::off);
    EXPECT_EQ(all(), "");
    logger.setMinLevel(MqttLoggerLevel::warning);
    CaptureStdout out;
    printWarning("");
    EXPECT_EQ(out.text(), "MQTT(warning): \n");
    logger.setMinLevel(saved);
}

namespace {

// A packet cut at its fixed header: type and flags, and the body.
struct Cut {
    uint8_t header;
    Bytes body;
};
Cut cut(const MqttFrame& frame) {
    const Bytes wire = frame.data().value();
    const auto length = readRemainingLength(wire, 1);
    EXPECT_TRUE(length);
    EXPECT_EQ(wire.size(), 1 + length->size + length->value);
    return {wire[0], Bytes(wire.begin() + 1 + static_cast<long>(length->size), wire.end())};
}
std::string text(std::optional<std::span<const uint8_t>> bytes) {
    return bytes ? toString(*bytes) : "<none>";
}

}  // namespace

// Decodes `wire` with `decode`: the whole packet (with a byte of the next one
// behind it) gives its packet and size, every strict prefix needs more bytes.
template <typename Decode>
auto decodedWhole(Decode decode, const Bytes& wire) {
    for (size_t n = 0; n < wire.size(); ++n) {
        const auto d = decode(std::span<const uint8_t>(wire.data(), n));
        EXPECT_EQ(d.status, DecodeStatus::needMore) << toHex(wire) << " cut at " << n;
    }
    Bytes more = wire;
    more.push_back(0xD0);
    auto d = decode(more);
    EXPECT_TRUE(d.ok()) << toHex(wire) << ": " << d.error;
    EXPECT_EQ(d.consumed, wire.size()) << toHex(wire);
    return d.packet;
}

TEST(Decode, PublishAtEveryQosAndFlagRoundTrips) {
    for (uint8_t qos : {0, 1, 2}) {
        for (bool flags : {false, true}) {
            MqttFramePublish out(300, "a/\xC3\xA9", Bytes(200, 0x5A));
            out.setQos(qos);
            out.setRetained(flags);
            out.setDup(flags && qos > 0);
            const auto in = decodedWhole(decodePublish, out.data().value());
            ASSERT_TRUE(in);
            EXPECT_EQ(in->message.topic(), out.topic());
            EXPECT_EQ(in->id, qos == 0 ? 0 : 300);
            EXPECT_EQ(in->message.payload(), out.payload());
            EXPECT_EQ(static_cast<uint8_t>(in->message.qos()), qos);
            EXPECT_EQ(in->message.retained(), flags);
            EXPECT_EQ(in->message.dup(), flags && qos > 0);
        }
    }
    // A head read on its own, as for a PUBLISH too large to keep.
    const auto head = decodePublishHead(0x32, 1'000'000, hex("00 03 62 69 67 00 07 78"));
    ASSERT_TRUE(head.ok());
    EXPECT_EQ(head.packet->topic, "big");
    EXPECT_EQ(head.packet->id, 7);
    EXPECT_EQ(head.consumed, 7u);
}

TEST(Decode, AcknowledgementsConnackSubackAndPingrespRoundTrip) {
    for (auto type : {MqttFrameType::puback, MqttFrameType::pubrec, MqttFrameType::pubrel,
                      MqttFrameType::pubcomp}) {
        const auto ack = decodedWhole(decodeAck, MqttFramePubAck(type, 0xBEEF).data().value());
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->type, type);
        EXPECT_EQ(ack->id, 0xBEEF);
    }
    const auto unsuback = decodedWhole(decodeAck, hex("B0 02 01 02"));
    ASSERT_TRUE(unsuback);
    EXPECT_EQ(unsuback->type, MqttFrameType::unsuback);
    EXPECT_EQ(unsuback->id, 0x0102);
    const auto connack = decodedWhole(decodeConnAck, hex("20 02 01 05"));
    ASSERT_TRUE(connack);
    EXPECT_TRUE(connack->sessionPresent);
    EXPECT_EQ(connack->returnCode, 5);
    const auto suback = decodedWhole(decodeSubAck, hex("90 06 01 02 00 01 02 80"));
    ASSERT_TRUE(suback);
    EXPECT_EQ(suback->id, 0x0102);
    EXPECT_EQ(suback->returnCodes, (std::vector<uint8_t>{0, 1, 2, 0x80}));
    EXPECT_TRUE(decodedWhole(decodePingResp, hex("D0 00")));
    EXPECT_TRUE(decodedWhole(decodePingResp, hex("D0 80 00")));  // non-minimal length
    // A packet of another kind is not taken for the one asked for.
    EXPECT_EQ(decodeAck(hex("D0 00")).status, DecodeStatus::malformed);
    EXPECT_EQ(decodeSubAck(hex("B0 02 01 02")).status, DecodeStatus::malformed);
}

TEST(RoundTrip, AcknowledgementsSubscribeAndUnsubscribe) {
    for (auto type : {MqttFrameType::puback, MqttFrameType::pubrec, MqttFrameType::pubrel,
                      MqttFrameType::pubcomp}) {
        const Cut c = cut(MqttFramePubAck(type, 0xBEEF));
        EXPECT_EQ(frameTypeFromRaw(c.header & 0xF0), type);
        EXPECT_EQ(readHlBytes(c.body), 0xBEEF);
        EXPECT_EQ(c.body.size(), 2u);
    }
    const Cut sub = cut(MqttFrameSubscribe(513, "tg/+/tool", 2));
    EXPECT_EQ(sub.header, 0x82);
    EXPECT_EQ(readHlBytes(sub.body), 513);
    EXPECT_EQ(text(readBytesWithLength(sub.body, 2)), "tg/+/tool");
    EXPECT_EQ(sub.body.back(), 2);
    const Cut unsub = cut(MqttFrameUnsubscribe(514, "tg/#"));
    EXPECT_EQ(unsub.header, 0xA2);
    EXPECT_EQ(readHlBytes(unsub.body), 514);
    EXPECT_EQ(text(readBytesWithLength(unsub.body, 2)), "tg/#");
    for (auto type : {MqttFrameType::pingreq, MqttFrameType::disconnect}) {
        const Cut c = cut(MqttFrame(type));
        EXPECT_EQ(c.header, static_cast<uint8_t>(type));
        EXPECT_TRUE(c.body.empty());
    }
}

TEST(RoundTrip, ConnectWithEveryField) {
    SettingsClient client;
    client.id = "agent-1";
    client.user = "user";
    client.pass = "secret";
    client.keep = 300;
    client.will = MqttWill("will/t", "gone");
    const Cut c = cut(MqttFrameConnect(client));
    EXPECT_EQ(c.header, 0x10);
    EXPECT_EQ(text(readBytesWithLength(c.body)), "MQTT");
    EXPECT_EQ(c.body[6], 4);     // protocol level
    EXPECT_EQ(c.body[7], 0xCE);  // user, password, will QoS 1, will, clean session
    EXPECT_EQ(readHlBytes(c.body, 8), 300);
    size_t at = 10;
    for (const char* field : {"agent-1", "will/t", "gone", "user", "secret"}) {
        EXPECT_EQ(text(readBytesWithLength(c.body, at)), field);
        at += 2 + std::strlen(field);
    }
    EXPECT_EQ(at, c.body.size());
}

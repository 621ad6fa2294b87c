// The session against a scripted socket: the connect sequence, CONNACK
// handling, packet cutting, acknowledgement flows, subscription bookkeeping,
// identifiers, malformed input and the keep-alive watchdog.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <iostream>

#include "log_capture.h"
#include "mqtt/session.h"
#include "support/fake_socket.h"
#include "support/hex.h"
#include "support/null_delegate.h"
#include "support/proc_status.h"
#include "support/recording_delegate.h"
#include "support/scripted_broker.h"
#include "support/wait.h"

using namespace tgw::mqtt;
using tgw::test::FakeSocket;
using tgw::test::hex;
using tgw::test::RecordingDelegate;
using tgw::test::toHex;
using tgw::test::waitUntil;

namespace {

class SessionTest : public ::testing::Test {
  protected:
    SessionTest() { fresh(); }

    // A new session on a new scripted socket, with the delegate's record emptied.
    void fresh() {
        session.reset();
        auto s = std::make_unique<FakeSocket>();
        socket = s.get();
        session = std::make_unique<MqttSession>("c1", "broker.test", 8883, std::move(s));
        session->setDelegate(&delegate);
        delegate.events.clear();
        delegate.onConnAck = nullptr;
    }

    // Connects without TLS and accepts the CONNACK.
    void connectAccepted() {
        ASSERT_TRUE(session->connect());
        socket->completeConnect();
        socket->feed(hex("20 02 00 00"));
        socket->writes.clear();
        delegate.events.clear();
    }

    FakeSocket* socket;
    RecordingDelegate delegate;
    std::unique_ptr<MqttSession> session;
};

}  // namespace

TEST_F(SessionTest, NewSessionDefaults) {
    MqttSession fresh("id");
    EXPECT_EQ(fresh.host(), "localhost");
    EXPECT_EQ(fresh.port(), 1883);
    EXPECT_EQ(fresh.keepAlive(), 60);
    EXPECT_TRUE(fresh.cleanSession());
    EXPECT_EQ(fresh.gmid(), 1);
    EXPECT_EQ(fresh.connState(), MqttConnState::initial);
}

TEST_F(SessionTest, ConnectSendsConnectThenReadsAndAcceptsConnack) {
    session->setUsername("u");
    session->setPassword("pw");
    ASSERT_TRUE(session->connect());
    EXPECT_EQ(session->connState(), MqttConnState::connecting);
    EXPECT_EQ(socket->host, "broker.test");
    EXPECT_EQ(socket->readsIssued, 0);
    socket->completeConnect();
    ASSERT_EQ(socket->writes.size(), 1u);
    EXPECT_EQ(toHex(socket->writes[0].bytes),
              "10 15 00 04 4D 51 54 54 04 C2 00 3C 00 02 63 31 00 01 75 00 02 70 77");
    ASSERT_TRUE(socket->pending);  // the first read follows CONNECT
    EXPECT_EQ(socket->pending->tag, 0);
    EXPECT_LE(socket->pending->timeout, 0);
    socket->feed(hex("20 02 00 00"));
    EXPECT_EQ(session->connState(), MqttConnState::connected);
    EXPECT_EQ(delegate.events, std::vector<std::string>{"connack accepted"});
}

TEST_F(SessionTest, TlsIsStartedBeforeConnectWithTheExtraCas) {
    session->setEnableSSL(true);
    session->setExtraCaCertificates({hex("01 02")});
    session->connect();
    socket->completeConnect();
    EXPECT_TRUE(socket->tlsStarted);
    EXPECT_TRUE(socket->writes.empty());  // nothing in clear before TLS is up
    ASSERT_TRUE(socket->tlsSettings);
    EXPECT_FALSE(socket->tlsSettings->manuallyEvaluateTrust);
    EXPECT_EQ(socket->tlsSettings->extraCaCertificates.size(), 1u);
    socket->completeSecure();
    ASSERT_EQ(socket->writes.size(), 1u);
    EXPECT_EQ(socket->writes[0].bytes[0], 0x10);
}

TEST_F(SessionTest, TrustQuestionWithoutAJudgingDelegateIsRefused) {
    bool answer = true;
    session->connect();
    socket->delegate->socketDidReceiveTrust(*socket, {}, [&](bool ok) { answer = ok; });
    EXPECT_FALSE(answer);
    delegate.trustAnswer = true;
    socket->delegate->socketDidReceiveTrust(*socket, {}, [&](bool ok) { answer = ok; });
    EXPECT_TRUE(answer);
}

TEST_F(SessionTest, RefusedConnackClosesBeforeTellingTheDelegate) {
    for (const auto& [code, name] :
         {std::pair{"05", "connack notAuthorized"}, std::pair{"C8", "connack reservedCode"}}) {
        fresh();
        std::string atCallback;
        delegate.onConnAck = [&](MqttConnAck) {
            atCallback =
                toHex(socket->lastWrite()) + " / " + std::to_string(socket->disconnectCalls);
        };
        session->connect();
        socket->completeConnect();
        socket->feed(hex(std::string("20 02 00 ") + code));
        EXPECT_EQ(atCallback, "E0 00 / 1");
        EXPECT_EQ(session->connState(), MqttConnState::connecting);
        socket->reportClosed();
        EXPECT_EQ(session->connState(), MqttConnState::disconnected);
        EXPECT_EQ(delegate.events, (std::vector<std::string>{name, "disconnect"}));
    }
}

TEST_F(SessionTest, ReaderCutsPacketsWholeAndBytewise) {
    const std::string stream =
        "D0 00 "                             // PINGRESP: no body read
        "30 07 00 03 61 2F 62 68 69 "        // QoS 0 publish
        "32 09 00 03 61 2F 62 00 0A 68 69 "  // QoS 1 publish, id 10
        "D0 80 00 "                          // non-minimal length 0
        "30 C1 02 00 01 74 ";                // remaining length 321
    Bytes bytes = hex(stream);
    bytes.insert(bytes.end(), 318, 'x');
    for (bool bytewise : {false, true}) {
        fresh();
        connectAccepted();
        if (bytewise) {
            socket->feedBytewise(bytes);
        } else {
            socket->feed(bytes);
        }
        ASSERT_EQ(delegate.events.size(), 5u) << bytewise;
        EXPECT_EQ(delegate.events[0], "pong");
        EXPECT_EQ(delegate.events[1], "message a/b hi qos0 id 0");
        EXPECT_EQ(delegate.events[2], "message a/b hi qos1 id 10");
        EXPECT_EQ(delegate.events[3], "pong");
        EXPECT_EQ(delegate.events[4], "message t " + std::string(318, 'x') + " qos0 id 0");
        EXPECT_EQ(toHex(socket->allWritten()), "40 02 00 0A");  // only the PUBACK
    }
}

TEST_F(SessionTest, MalformedInputClosesTheConnectionWithoutDelivering) {
    const std::string ok = "20 02 00 00 ";  // the CONNACK every broker sends first
    const std::pair<std::string, const char*> rows[] = {
        {"F0 00", "packet type 15"},
        {"C0 00", "packet type 12 is not sent by a broker"},  // PINGREQ
        {"82 06 00 01 00 01 61 01", "packet type 8"},         // SUBSCRIBE
        {ok + "30 80 80 80 80 01", "longer than four bytes"},
        {"20 01 00", "CONNACK remaining length 1, not 2"},
        {"20 03 00 00 00", "CONNACK remaining length 3"},
        {"20 02 02 00", "CONNACK acknowledge flags 0x02"},
        {"21 02 00 00", "CONNACK flags 0x01"},
        {"D0 00", "PINGRESP before CONNACK"},
        {ok + "20 02 00 00", "a second CONNACK"},
        {ok + "36 05 00 01 61 00 01", "both QoS bits"},
        {ok + "38 03 00 01 61", "DUP set at QoS 0"},
        {ok + "30 03 00 01 FF", "not valid UTF-8"},
        {ok + "30 01 00", "PUBLISH too short"},
        {ok + "30 04 00 00 68 69", "empty topic"},
        {ok + "30 05 00 03 61 2F 23", "wildcard"},
        {ok + "32 04 00 01 61 00", "run past"},
        {ok + "32 05 00 01 61 00 00", "packet id 0"},
        {ok + "40 01 00", "PUBACK remaining length 1, not 2"},
        {ok + "50 03 00 01 00", "PUBREC remaining length 3"},
        {ok + "60 02 00 01", "PUBREL flags 0x00, not 0x02"},
        {ok + "72 02 00 01", "PUBCOMP flags 0x02"},
        {ok + "40 02 00 00", "PUBACK with packet id 0"},
        {ok + "90 02 00 02", "no return code"},
        {ok + "90 03 00 02 03", "SUBACK return code 0x03"},
        {ok + "90 04 00 02 01 01", "2 return codes for 1 topic"},
        {ok + "B0 00", "UNSUBACK remaining length 0"},
        {ok + "D0 01 00", "PINGRESP remaining length 1, not 0"},
    };
    for (bool bytewise : {false, true}) {
        for (const auto& [bytes, why] : rows) {
            fresh();
            session->subscribe("a");  // id 2, for the SUBACK rows
            session->connect();
            socket->completeConnect();
            testing::internal::CaptureStdout();
            bytewise ? socket->feedBytewise(hex(bytes)) : socket->feed(hex(bytes));
            testing::internal::GetCapturedStdout();
            ASSERT_TRUE(socket->closeError) << bytes;
            EXPECT_NE(socket->closeError->find(why), std::string::npos) << *socket->closeError;
            EXPECT_EQ(socket->closeKind, MqttErrorKind::malformedPacket) << bytes;
            EXPECT_FALSE(delegate.has("message")) << bytes;
            EXPECT_FALSE(socket->pending) << bytes;  // reading has stopped
        }
    }
}

TEST_F(SessionTest, QosTwoFlowsInBothDirections) {
    delegate.wantsPublishComplete = true;
    connectAccepted();
    const uint16_t id = session->publish("t", "x", MqttQos::qos2);
    EXPECT_EQ(toHex(socket->lastWrite()), toHex(hex("34 06 00 01 74 00 02 78")));
    socket->feed(hex("50 02 00 02"));
    EXPECT_EQ(toHex(socket->lastWrite()), "62 02 00 02");
    socket->feed(hex("70 02 00 02"));
    EXPECT_TRUE(delegate.has("pubcomp " + std::to_string(id)));
    EXPECT_FALSE(delegate.has("puback"));
    EXPECT_TRUE(waitUntil([&] { return session->frameBuffer().inFlightCount() == 0; }));

    socket->writes.clear();
    delegate.onMessage = [&](const MqttMessage&) { EXPECT_TRUE(socket->writes.empty()); };
    socket->feed(hex("34 06 00 01 74 00 07 79"));
    EXPECT_TRUE(delegate.has("message t y qos2 id 7"));
    EXPECT_EQ(toHex(socket->lastWrite()), "50 02 00 07");
    socket->feed(hex("62 02 00 07"));
    EXPECT_EQ(toHex(socket->lastWrite()), "70 02 00 07");
}

TEST_F(SessionTest, SubscriptionBookkeeping) {
    connectAccepted();
    EXPECT_EQ(session->subscribe("a/tool"), 2);
    EXPECT_EQ(toHex(socket->lastWrite()), "82 0B 00 02 00 06 61 2F 74 6F 6F 6C 01");
    EXPECT_EQ(session->subscribe("a/tool"), 3);
    socket->feed(hex("90 03 00 02 01"));
    socket->feed(hex("90 03 00 03 01"));
    EXPECT_EQ(session->subscriptions().size(), 1u);
    EXPECT_TRUE(session->subscriptions().contains(3));
    EXPECT_EQ(delegate.count("subscribed a/tool"), 2);

    session->subscribe("other");  // id 4, left waiting
    EXPECT_EQ(session->unsubscribe("a/tool"), 5);
    socket->feed(hex("B0 02 00 05"));
    EXPECT_TRUE(session->subscriptions().empty());
    EXPECT_EQ(session->subscriptionsWaitingAck().size(), 1u);
    EXPECT_TRUE(delegate.has("unsubscribed a/tool"));

    testing::internal::CaptureStdout();
    socket->feed(hex("90 03 00 63 01 B0 02 00 63"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MQTT(warning): UNEXPECT SUBACK Received: 99\n"
              "MQTT(warning): UNEXPECT UNSUBACK Received: 99\n");
}

TEST_F(SessionTest, RefusedSubscriptionEndsTheConnectionInsteadOfReportingIt) {
    connectAccepted();
    EXPECT_EQ(session->subscribe("a/tool"), 2);
    socket->feed(hex("90 03 00 02 80"));  // return code 0x80: failure
    EXPECT_FALSE(delegate.has("subscribed"));
    ASSERT_TRUE(socket->closeError);
    EXPECT_EQ(*socket->closeError, "the broker refused the subscription to a/tool");
    EXPECT_EQ(socket->closeKind, MqttErrorKind::subscriptionRefused);
}

TEST_F(SessionTest, IdentifiersWrapToOneAndSkipThoseStillInUse) {
    connectAccepted();
    socket->record = false;
    EXPECT_EQ(session->publish("t", "unacknowledged", MqttQos::qos1), 2);
    EXPECT_EQ(session->subscribe("unanswered"), 3);
    uint16_t id = 0;
    for (int i = 0; i < 65532; ++i) id = session->publish("t", "", MqttQos::qos0);
    EXPECT_EQ(id, 65535);
    EXPECT_EQ(session->publish("t", "", MqttQos::qos1), 1);
    EXPECT_EQ(session->unsubscribe("t"), 4);  // 2 and 3 are still outstanding
    socket->feed(hex("40 02 00 02 90 03 00 03 01"));
    ASSERT_TRUE(waitUntil([&] { return session->frameBuffer().inFlightCount() == 1; }));
    for (int i = 0; i < 65531; ++i) id = session->publish("t", "", MqttQos::qos0);
    EXPECT_EQ(id, 65535);  // (1 is in flight, 4 unanswered)
    EXPECT_EQ(session->publish("t", "", MqttQos::qos0), 2);
    EXPECT_EQ(session->publish("t", "", MqttQos::qos0), 3);
    EXPECT_EQ(session->publish("t", "", MqttQos::qos0), 5);
}

TEST_F(SessionTest, PublishTooLargeToEncodeIsRefusedVisibly) {
    connectAccepted();
    testing::internal::CaptureStdout();
    EXPECT_EQ(session->publish(std::string(70000, 't'), "x"), 0);
    EXPECT_EQ(session->subscribe(std::string(70000, 't')), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("MQTT(error): message(2) not sent"), std::string::npos) << out;
    EXPECT_TRUE(socket->writes.empty());
    EXPECT_TRUE(session->subscriptionsWaitingAck().empty());
}

TEST_F(SessionTest, KeepAliveNoticesASilentBroker) {
    session->setKeepAlive(1);  // one tick a second
    int pongsToSend = 2;
    delegate.onPing = [&] {
        if (pongsToSend-- > 0) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [&] { socket->feed(hex("D0 00")); },
                Qt::QueuedConnection);
        }
    };
    connectAccepted();
    ASSERT_TRUE(waitUntil([&] { return socket->closeError.has_value(); }, 8000));
    EXPECT_EQ(delegate.count("ping"), 3);  // two answered, the third not
    EXPECT_EQ(delegate.count("pong"), 2);
    EXPECT_NE(socket->closeError->find("keep-alive"), std::string::npos);
    EXPECT_EQ(socket->closeKind, MqttErrorKind::keepAliveTimeout);
}

TEST_F(SessionTest, KeepAliveSparesALinkWhosePeerStillAcknowledges) {
    session->setKeepAlive(1);  // one tick a second; nothing is ever answered
    socket->progress = AsyncSocketProgress{0, 50000};
    QTimer drain;  // the peer takes 1 KB every 100 ms, for 3 s
    QObject::connect(&drain, &QTimer::timeout, [&] {
        if (socket->progress->bytesUnacked == 20000) return;  // then the link freezes
        socket->progress->bytesAcked += 1000;
        socket->progress->bytesUnacked -= 1000;
    });
    drain.start(100);
    connectAccepted();
    ASSERT_TRUE(waitUntil([&] { return socket->closeError.has_value(); }, 10000));
    EXPECT_EQ(socket->closeKind, MqttErrorKind::keepAliveTimeout);
    EXPECT_EQ(socket->progress->bytesUnacked, 20000u);  // not before the link froze
}

TEST_F(SessionTest, ConnectTimeoutCoversTcpTlsAndConnack) {
    session->setConnectTimeout(std::chrono::milliseconds(200));
    session->setEnableSSL(true);
    ASSERT_TRUE(session->connect());
    socket->completeConnect();  // TLS never completes
    ASSERT_TRUE(waitUntil([&] { return socket->closeKind.has_value(); }, 3000));
    EXPECT_EQ(socket->closeKind, MqttErrorKind::connectTimeout);
    EXPECT_NE(socket->closeError->find("200 ms"), std::string::npos) << *socket->closeError;
    socket->reportClosed();

    // A connection that is accepted in time is left alone.
    fresh();
    session->setConnectTimeout(std::chrono::milliseconds(200));
    ASSERT_TRUE(session->connect());
    socket->completeConnect();
    socket->feed(hex("20 02 00 00"));
    tgw::test::processEventsFor(400);
    EXPECT_FALSE(socket->closeKind);
}

TEST_F(SessionTest, EveryPublishIsWrittenAtOnceAndEachAckReportedAtOnce) {
    connectAccepted();
    socket->record = false;
    for (int i = 0; i < 3000; ++i) ASSERT_NE(session->publish("t", "x"), 0);
    EXPECT_EQ(session->outboundStatus().waitingCount(), 0u);  // no window of its own
    EXPECT_EQ(session->outboundStatus().inFlightCount(), 3000u);
    socket->feed(hex("40 02 00 02 40 02 0B B9"));  // the first and the last
    EXPECT_TRUE(delegate.has("puback 2"));
    EXPECT_TRUE(delegate.has("puback 3001"));
    EXPECT_EQ(session->outboundStatus().inFlightCount(), 2998u);
}

TEST_F(SessionTest, RefusedConnectIsLoggedAndChangesNothing) {
    socket->acceptConnect = false;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(session->connect());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MQTT(error): socket connect error: refused by the test\n");
    EXPECT_EQ(session->connState(), MqttConnState::initial);
}

TEST_F(SessionTest, AnEndedSessionStaysEnded) {
    session->publish("t", "early");  // before the connection: waits for the CONNACK
    EXPECT_TRUE(socket->writes.empty());
    ASSERT_TRUE(session->connect());
    socket->completeConnect();
    socket->feed(hex("20 02 00 00"));
    EXPECT_EQ(toHex(socket->lastWrite()), "32 0A 00 01 74 00 02 65 61 72 6C 79");
    socket->reportClosed("The remote host closed the connection");
    EXPECT_EQ(session->connState(), MqttConnState::disconnected);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(session->connect());
    EXPECT_NE(testing::internal::GetCapturedStdout().find("a new session"), std::string::npos);
    tgw::test::processEventsFor(100);
    EXPECT_EQ(socket->connectCalls, 1);
}

TEST_F(SessionTest, OversizedPacketClosesBeforeItsBodyIsAskedFor) {
    const std::pair<const char*, const char*> rows[] = {
        {"90 FF FF FF 7F", "incoming packet of 268435455 bytes exceeds the limit of 1000 bytes"},
        {"B0 E9 07", "incoming packet of 1001 bytes"},
    };
    for (bool bytewise : {false, true}) {
        for (const auto& [bytes, why] : rows) {
            fresh();
            session->setMaxIncomingPacketSize(1000);
            connectAccepted();
            const int reads = socket->readsIssued;
            bytewise ? socket->feedBytewise(hex(bytes)) : socket->feed(hex(bytes));
            ASSERT_TRUE(socket->closeError) << bytes;
            EXPECT_NE(socket->closeError->find(why), std::string::npos) << *socket->closeError;
            EXPECT_EQ(socket->closeKind, MqttErrorKind::packetTooLarge);
            EXPECT_LE(socket->readsIssued - reads, 4) << "header and length reads only";
            EXPECT_FALSE(socket->pending) << bytes;
        }
    }
    fresh();
    session->setMaxIncomingPacketSize(1000);
    connectAccepted();
    Bytes atLimit = hex("30 E8 07 00 01 74");  // exactly 1000 bytes: delivered
    atLimit.resize(3 + 1000, 'x');
    socket->feed(atLimit);
    EXPECT_FALSE(socket->closeError);
    EXPECT_TRUE(delegate.has("message t "));
}

TEST_F(SessionTest, FloodOfUnsolicitedAcknowledgementsKeepsMemoryFlat) {
    tgw::test::NullDelegate quiet;  // recording two million callbacks would be the leak
    session->setDelegate(&quiet);
    connectAccepted();
    session->publish("t", "x");  // one frame in flight, so acks are looked up
    socket->record = false;
    Bytes chunk;
    for (int i = 0; i < 16384; ++i) {
        const Bytes ack = hex("40 02 7F 00");
        chunk.insert(chunk.end(), ack.begin(), ack.end());
    }
    const long idle = tgw::test::procStatus("VmRSS:");
    long peak = idle;
    for (int round = 0; round < 2'000'000 / 16384 + 1; ++round) {
        socket->feed(chunk);
        peak = std::max(peak, tgw::test::procStatus("VmRSS:"));
    }
    QCoreApplication::processEvents();
    std::cout << "[ measured ] 2 M unsolicited PUBACKs: RSS " << idle << " kB idle, " << peak
              << " kB peak" << std::endl;
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed memory by design
    EXPECT_LT(peak, idle * 5 / 4);
#endif
    EXPECT_EQ(session->frameBuffer().inFlightCount(), 1u);
}

TEST_F(SessionTest, ScriptedConversationWritesNothingUnexpected) {
    tgw::test::ScriptedBroker broker(*socket);
    broker.expect(hex("10 0E 00 04 4D 51 54 54 04 02 00 3C 00 02 63 31"))
        .reply(hex("20 02 00 00"))
        .expect(hex("82 06 00 02 00 01 74 01"))
        .reply(hex("90 03 00 02 01 32 06 00 01 74 00 09 78"))
        .expect(hex("40 02 00 09"))  // our PUBACK for the message that came
        .expect(hex("32 06 00 01 74 00 03 79"))
        .reply(hex("40 02 00 03"));
    delegate.onConnAck = [&](MqttConnAck) { session->subscribe("t"); };
    delegate.onMessage = [&](const MqttMessage&) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { session->publish("t", "y"); },
            Qt::QueuedConnection);
    };
    ASSERT_TRUE(session->connect());
    socket->completeConnect();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("puback 3"); }));
    EXPECT_EQ(broker.unexpected(), "");
}

TEST_F(SessionTest, OversizedPublishIsReadInChunksDroppedAndAcknowledged) {
    session->setMaxIncomingPacketSize(1000);
    connectAccepted();
    tgw::test::LogCapture log;
    for (const char* head :
         {"32 A0 8D 06 00 03 62 69 67 00 07", "34 A0 8D 06 00 03 62 69 67 00 08"}) {
        Bytes packet = hex(head);  // 100,000 bytes after the fixed header
        packet.resize(4 + 100000, 'x');
        socket->feed(packet);
    }
    socket->feed(hex("30 03 00 01 74"));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"skipped big 100004", "skipped big 100004",
                                                         "message t  qos0 id 0"}));
    EXPECT_EQ(toHex(socket->allWritten()), "40 02 00 07 50 02 00 08");
    EXPECT_LE(socket->longestRead, 64u * 1024);
    EXPECT_FALSE(socket->closeError);
    EXPECT_EQ(log.all().count("skipped a message on big of 100004 bytes"), 2)
        << log.all().toStdString();
}

TEST_F(SessionTest, AcknowledgementsForUnknownIdsAreCountedNotPassedOn) {
    connectAccepted();
    EXPECT_EQ(session->publish("t", "x"), 2);
    socket->writes.clear();
    delegate.events.clear();
    // PUBACK, PUBREC, PUBCOMP for an id never used, then the known one twice.
    socket->feed(hex("40 02 00 09 50 02 00 09 70 02 00 09 40 02 00 02 40 02 00 02"));
    EXPECT_EQ(delegate.events, std::vector<std::string>{"puback 2"});
    EXPECT_TRUE(socket->writes.empty());  // no PUBREL for a PUBREC of nothing
    ASSERT_TRUE(waitUntil([&] { return delegate.has("unknown acks"); }, 3000));
    EXPECT_EQ(delegate.events.back(), "unknown acks 4");
    socket->feed(hex("40 02 00 09"));
    socket->reportClosed();  // what is left is not lost
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"puback 2", "unknown acks 4",
                                                         "unknown acks 1", "disconnect"}));
}

TEST_F(SessionTest, ReadingPausesWhileTheBrokerDoesNotTakeOurBytes) {
    connectAccepted();
    socket->held = MqttSession::kAckAllowance + 1;  // as if the broker read nothing
    socket->feed(hex("62 02 00 01 62 02 00 02"));
    EXPECT_EQ(toHex(socket->allWritten()), "70 02 00 01");  // then no packet is read
    EXPECT_FALSE(socket->pending);
    socket->held = 0;
    socket->delegate->socketDidWriteDataWithTag(*socket, 0);
    socket->feed({});
    EXPECT_EQ(toHex(socket->allWritten()), "70 02 00 01 70 02 00 02");
}

TEST_F(SessionTest, KeepAliveCountsBytesOfAPacketStillArriving) {
    session->setKeepAlive(1);  // a tick a second; no ping is ever answered
    connectAccepted();
    Bytes packet = hex("30 C8 01 00 01 74");  // 200 bytes after the fixed header
    packet.resize(3 + 200, 'x');
    size_t at = 0;
    QTimer trickle;  // 5 bytes every 100 ms: about 4 s for the packet
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        const size_t n = std::min<size_t>(5, packet.size() - at);
        socket->feed(Bytes(packet.begin() + static_cast<long>(at),
                           packet.begin() + static_cast<long>(at + n)));
        at += n;
    });
    trickle.start(100);
    ASSERT_TRUE(waitUntil([&] { return delegate.has("message") || socket->closeError; }, 10000));
    EXPECT_FALSE(socket->closeError) << *socket->closeError;
}

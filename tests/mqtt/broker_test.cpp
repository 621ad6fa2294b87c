// The session over real TLS against a real mosquitto on loopback.
#include <gtest/gtest.h>

#include <QFile>

#include "mqtt/qt_async_socket.h"
#include "mqtt/session.h"
#include "support/mosquitto_broker.h"
#include "support/recording_delegate.h"
#include "support/wait.h"

using namespace tgw::mqtt;
using tgw::test::MosquittoBroker;
using tgw::test::RecordingDelegate;
using tgw::test::waitUntil;

namespace {

Bytes fileBytes(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QByteArray data = f.readAll();
    return Bytes(data.begin(), data.end());
}

// A QtAsyncSocket that counts the bytes the session asks it to write.
class CountingSocket : public QtAsyncSocket {
  public:
    explicit CountingSocket(size_t* written) : m_written(written) {}
    void writeData(std::span<const uint8_t> data, double timeout, long tag) override {
        *m_written += data.size();
        QtAsyncSocket::writeData(data, timeout, tag);
    }

  private:
    size_t* m_written;
};

class BrokerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(broker.start()) << broker.log().toStdString(); }

    std::unique_ptr<MqttSession> makeSession(const std::string& id,
                                             const QString& ca = MosquittoBroker::caFile(),
                                             const std::string& password = "palmoc5829",
                                             std::unique_ptr<AsyncSocket> socket = nullptr) {
        auto s = std::make_unique<MqttSession>(id, "localhost", broker.port(), std::move(socket));
        s->setUsername("tanglow_web");
        s->setPassword(password);
        s->setEnableSSL(true);
        s->setExtraCaCertificates({fileBytes(ca)});
        s->setDelegate(&delegate);
        return s;
    }

    bool connected(MqttSession& s) {
        return s.connect() && waitUntil([&] { return delegate.has("connack"); }, 10000) &&
               s.connState() == MqttConnState::connected;
    }

    MosquittoBroker broker;
    RecordingDelegate delegate;
};

}  // namespace

TEST_F(BrokerTest, TlsConnectWithTheFixedCredentialsIsAccepted) {
    auto s = makeSession("tls-ok");
    ASSERT_TRUE(connected(*s)) << broker.log().toStdString();
    EXPECT_EQ(delegate.events.front(), "connack accepted");
}

TEST_F(BrokerTest, WrongPasswordIsRefusedThenDisconnected) {
    auto s = makeSession("bad-pw", MosquittoBroker::caFile(), "wrong");
    s->connect();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 10000));
    // mosquitto answers a wrong password with code 5 under MQTT 3.1.1.
    EXPECT_EQ(delegate.events.front(), "connack notAuthorized");
    EXPECT_EQ(delegate.events.back(), "disconnect");
    EXPECT_EQ(s->connState(), MqttConnState::disconnected);
}

TEST_F(BrokerTest, UntrustedCertificateEndsTheConnectionBeforeConnectIsWritten) {
    size_t written = 0;
    auto s = makeSession("wrong-ca", MosquittoBroker::otherCaFile(), "palmoc5829",
                         std::make_unique<CountingSocket>(&written));
    s->connect();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 10000));
    EXPECT_TRUE(delegate.has("disconnect: ")) << delegate.events.back();  // with an error
    EXPECT_FALSE(delegate.has("connack"));
    EXPECT_EQ(written, 0u);
}

TEST_F(BrokerTest, PublishAndReceiveOwnMessagesAtEveryQos) {
    auto s = makeSession("roundtrip");
    delegate.wantsPublishComplete = true;
    ASSERT_TRUE(connected(*s));
    s->subscribe("tg/test/tool", MqttQos::qos2);
    ASSERT_TRUE(waitUntil([&] { return delegate.has("subscribed tg/test/tool"); }));
    const uint16_t q1 = s->publish("tg/test/tool", "one", MqttQos::qos1);
    const uint16_t q2 = s->publish("tg/test/tool", "two", MqttQos::qos2);
    s->publish("tg/test/tool", "zero", MqttQos::qos0);
    ASSERT_TRUE(waitUntil([&] {
        return delegate.count("message tg/test/tool") == 3 &&
               delegate.has("puback " + std::to_string(q1)) &&
               delegate.has("pubcomp " + std::to_string(q2));
    }));
    EXPECT_TRUE(delegate.has("message tg/test/tool zero qos0 id 0"));
    EXPECT_TRUE(delegate.has("message tg/test/tool one qos1"));
    EXPECT_TRUE(delegate.has("message tg/test/tool two qos2"));
    EXPECT_TRUE(waitUntil([&] { return s->frameBuffer().inFlightCount() == 0; }));
}

TEST_F(BrokerTest, KeepAliveSendsPingsAndGetsPongs) {
    auto s = makeSession("pinger");
    s->setKeepAlive(2);  // a ping every 2 s
    ASSERT_TRUE(connected(*s));
    ASSERT_TRUE(waitUntil([&] { return delegate.count("pong") >= 2; }, 8000));
    EXPECT_FALSE(delegate.has("disconnect"));
}

TEST_F(BrokerTest, KilledBrokerGivesADisconnect) {
    auto s = makeSession("victim");
    ASSERT_TRUE(connected(*s));
    broker.kill();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 5000));
    EXPECT_EQ(s->connState(), MqttConnState::disconnected);
}

TEST_F(BrokerTest, DisconnectEndsTheSessionWithoutReconnecting) {
    auto s = makeSession("leaver");
    s->setAutoReconnect(true);
    s->setAutoReconnectTimeInterval(1);
    ASSERT_TRUE(connected(*s));
    s->disconnect();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 5000));
    tgw::test::processEventsFor(1500);
    EXPECT_EQ(delegate.count("connack"), 1);
    EXPECT_EQ(s->connState(), MqttConnState::disconnected);
}

TEST_F(BrokerTest, AutomaticReconnectionFindsARestartedBroker) {
    auto s = makeSession("phoenix");
    s->setAutoReconnect(true);
    s->setAutoReconnectTimeInterval(1);
    ASSERT_TRUE(connected(*s));
    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 5000));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitUntil([&] { return delegate.count("connack accepted") == 2; }, 10000));
    EXPECT_EQ(s->connState(), MqttConnState::connected);
}

// The session over real TLS against a real mosquitto on loopback.
#include <gtest/gtest.h>

#include <iostream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "mqtt/qt_async_socket.h"
#include "mqtt/session.h"
#include "support/mosquitto_broker.h"
#include "support/proc_status.h"
#include "support/raw_peer.h"
#include "support/recording_delegate.h"
#include "support/tcp_relay.h"
#include "support/wait.h"

using namespace tgw::mqtt;
using tgw::test::MosquittoBroker;
using tgw::test::RawPeer;
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
                                             std::unique_ptr<AsyncSocket> socket = nullptr,
                                             quint16 port = 0) {
        auto s = std::make_unique<MqttSession>(id, "localhost", port ? port : broker.port(),
                                               std::move(socket));
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
    ASSERT_TRUE(delegate.lastError);
    EXPECT_EQ(delegate.lastError->kind, MqttErrorKind::untrustedCertificate);
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
    ASSERT_TRUE(connected(*s));
    s->disconnect();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 5000));
    tgw::test::processEventsFor(1500);
    EXPECT_EQ(delegate.count("connack"), 1);
    EXPECT_EQ(s->connState(), MqttConnState::disconnected);
}

TEST_F(BrokerTest, SlowLinkKeepsTheConnectionAndTheResultArrives) {
    tgw::test::TcpRelay relay(broker.port());
    ASSERT_TRUE(relay.listen());
    relay.throttle(1024);
    auto s = makeSession("slow", MosquittoBroker::caFile(), "palmoc5829", nullptr, relay.port());
    // The result takes about 100 s to drain, far longer than a watchdog that
    // counted the PINGREQ from its tick would allow (16 s + 16 s). (mosquitto
    // decrypts nothing until a whole TLS record of up to 16 KB is in, and closes
    // a client silent for 1.5 keep-alive periods: 30 s leaves it room.)
    s->setKeepAlive(30);
    ASSERT_TRUE(connected(*s));
    RecordingDelegate watcher;
    auto w = makeSession("watcher");
    w->setDelegate(&watcher);
    w->connect();
    ASSERT_TRUE(waitUntil([&] { return watcher.has("connack accepted"); }, 10000));
    w->subscribe("tg/test/slow");
    ASSERT_TRUE(waitUntil([&] { return watcher.has("subscribed"); }));

    const std::string result(100 * 1000, 'r');
    const uint16_t id = s->publish("tg/test/slow", result);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(waitUntil(
        [&] { return delegate.has("puback " + std::to_string(id)) || delegate.has("disconnect"); },
        180000));
    std::cout << "[ measured ] 100 KB through 1 KiB/s: acknowledged after " << clock.elapsed()
              << " ms, " << delegate.count("ping") << " pings" << std::endl;
    EXPECT_FALSE(delegate.has("disconnect")) << delegate.events.back();
    ASSERT_TRUE(waitUntil([&] { return watcher.has("message tg/test/slow"); }, 10000));
    EXPECT_TRUE(watcher.has("message tg/test/slow " + result));
}

TEST_F(BrokerTest, FrozenLinkIsDetectedByTheKeepAlive) {
    tgw::test::TcpRelay relay(broker.port());
    ASSERT_TRUE(relay.listen());
    auto s = makeSession("frozen", MosquittoBroker::caFile(), "palmoc5829", nullptr, relay.port());
    s->setKeepAlive(2);
    ASSERT_TRUE(connected(*s));
    ASSERT_TRUE(waitUntil([&] { return delegate.has("pong"); }, 8000));
    s->publish("tg/test/frozen", std::string(200 * 1000, 'f'));  // bytes stuck in the link
    relay.freeze();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 15000));
    std::cout << "[ measured ] frozen link detected after " << clock.elapsed() << " ms"
              << std::endl;
    ASSERT_TRUE(delegate.lastError);
    EXPECT_EQ(delegate.lastError->kind, MqttErrorKind::keepAliveTimeout);
}

TEST_F(BrokerTest, ListenerThatNeverAnswersGivesAConnectTimeout) {
    QTcpServer silent;  // accepts TCP, then says nothing: no TLS handshake, no CONNACK
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    for (const bool tls : {true, false}) {
        delegate.events.clear();
        delegate.lastError.reset();
        auto s = makeSession(tls ? "silent-tls" : "silent-plain", MosquittoBroker::caFile(),
                             "palmoc5829", nullptr, silent.serverPort());
        s->setEnableSSL(tls);
        s->setConnectTimeout(std::chrono::milliseconds(500));
        ASSERT_TRUE(s->connect());
        ASSERT_TRUE(waitUntil([&] { return delegate.has("disconnect"); }, 5000)) << tls;
        ASSERT_TRUE(delegate.lastError) << tls;
        EXPECT_EQ(delegate.lastError->kind, MqttErrorKind::connectTimeout) << tls;
        EXPECT_FALSE(delegate.has("connack")) << tls;
    }
}

TEST(OversizedPacket, AnnouncedQuarterGigabyteClosesWithoutGrowingMemory) {
    // A broker stand-in: CONNACK, then a SUBACK announcing 256 MiB and the
    // bytes to go with it, as fast as the agent takes them.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    qint64 sent = 0;
    const QByteArray chunk(1 << 20, 'x');
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* peer = server.nextPendingConnection();
        auto more = [&, peer] {
            while (peer->state() == QAbstractSocket::ConnectedState && sent < (256 << 20) &&
                   peer->bytesToWrite() < (1 << 20)) {
                peer->write(chunk);
                sent += chunk.size();
            }
        };
        QObject::connect(peer, &QTcpSocket::readyRead, [peer, more] {
            peer->readAll();
            peer->write(
                QByteArray::fromHex("20020000"
                                    "90FFFFFF7F"));
            more();
        });
        QObject::connect(peer, &QTcpSocket::bytesWritten, more);
    });
    RecordingDelegate delegate;
    MqttSession session("big", "localhost", server.serverPort());
    session.setDelegate(&delegate);
    const long idle = tgw::test::procStatus("VmRSS:");
    long peak = idle;
    session.connect();
    ASSERT_TRUE(waitUntil(
        [&] {
            peak = std::max(peak, tgw::test::procStatus("VmRSS:"));
            return delegate.has("disconnect");
        },
        20000));
    std::cout << "[ measured ] 256 MiB announced: RSS " << idle << " kB idle, " << peak
              << " kB peak, " << (sent >> 20) << " MiB offered" << std::endl;
    ASSERT_TRUE(delegate.lastError);
    EXPECT_EQ(delegate.lastError->kind, MqttErrorKind::packetTooLarge);
    EXPECT_NE(delegate.lastError->description.find("268435455 bytes"), std::string::npos);
    EXPECT_LT(peak, idle * 2);
}

TEST_F(BrokerTest, OversizedRetainedCommandIsSkippedAndTheConnectionStays) {
    QTemporaryFile big;  // 2 MB, over the 1 MiB limit; published by another client
    ASSERT_TRUE(big.open());
    big.write(QByteArray(2 * 1000 * 1000, 'c'));
    big.flush();
    QProcess pub;
    pub.start("mosquitto_pub", {"-h", "localhost", "-p", QString::number(broker.port()), "--cafile",
                                MosquittoBroker::caFile(), "-u", "tanglow_web", "-P", "palmoc5829",
                                "-t", "tg/test/big", "-q", "1", "-r", "-f", big.fileName()});
    ASSERT_TRUE(pub.waitForFinished(10000));
    ASSERT_EQ(pub.exitCode(), 0) << pub.readAllStandardError().toStdString();

    auto s = makeSession("skipper");
    ASSERT_TRUE(connected(*s));
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const long idle = tgw::test::procStatus("VmRSS:");
    s->subscribe("tg/test/big");
    ASSERT_TRUE(
        waitUntil([&] { return delegate.has("skipped") || delegate.has("disconnect"); }, 10000));
    const long peak = tgw::test::procStatus("VmHWM:");
    std::cout << "[ measured ] 2 MB retained command skipped: RSS " << idle << " kB idle, " << peak
              << " kB peak" << std::endl;
    EXPECT_TRUE(delegate.has("skipped tg/test/big 2000019")) << delegate.events.back();
    s->publish("tg/test/big", "sync");
    ASSERT_TRUE(waitUntil([&] { return delegate.has("message tg/test/big sync"); }, 10000));
    EXPECT_FALSE(delegate.has("disconnect"));
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed blocks
    EXPECT_LT(peak - idle, 2048);
#endif
}

TEST(BrokerStandIn, PubrelFloodFromABrokerThatNeverReadsIsHeldOffByBackPressure) {
    std::atomic<size_t> sent{0};
    std::atomic<bool> stalled{false};
    constexpr size_t kFlood = 40'000'000;  // bytes of PUBREL: 10 M packets
    RawPeer peer([&](int fd, const std::atomic<bool>& stop) {
        const uint8_t connack[] = {0x20, 0x02, 0x00, 0x00};
        RawPeer::offer(fd, connack, sizeof connack);
        std::vector<uint8_t> chunk;
        for (int i = 0; i < 16384; ++i) chunk.insert(chunk.end(), {0x62, 0x02, 0x00, 0x01});
        size_t at = 0;  // within the chunk, so packets stay whole across partial writes
        while (!stop && sent < kFlood) {
            const size_t n = RawPeer::offer(fd, chunk.data() + at, chunk.size() - at);
            if (n == 0) stalled = true;
            sent += n;
            at = (at + n) % chunk.size();
        }
    });
    RecordingDelegate delegate;
    MqttSession session("flooded", "127.0.0.1", peer.port());
    session.setDelegate(&delegate);
    session.setKeepAlive(0);
    const long idle = tgw::test::procStatus("VmRSS:");
    long peak = idle;
    ASSERT_TRUE(session.connect());
    ASSERT_TRUE(waitUntil(
        [&] {
            peak = std::max(peak, tgw::test::procStatus("VmRSS:"));
            return stalled || sent >= kFlood || delegate.has("disconnect");
        },
        60000));
    std::cout << "[ measured ] PUBREL flood, never read: " << (sent >> 20) << " MiB offered, "
              << "RSS " << idle << " kB idle, " << peak << " kB peak, "
              << session.outboundStatus().socketBytes << " bytes held" << std::endl;
    EXPECT_TRUE(stalled);  // the flood met a full window: we stopped reading
    EXPECT_LT(sent, kFlood);
    EXPECT_FALSE(delegate.has("disconnect"));
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed blocks
    EXPECT_LT(peak - idle, 16 * 1024);
#endif
}

TEST(BrokerStandIn, APacketTricklingInLongerThanTheKeepAliveKeepsTheConnection) {
    RawPeer peer([](int fd, const std::atomic<bool>& stop) {
        std::vector<uint8_t> bytes = {0x20, 0x02, 0x00, 0x00, 0x30, 0xE3,
                                      0xD4, 0x03, 0x00, 0x01, 't'};
        bytes.resize(4 + 4 + 60003, 'p');  // a PUBLISH of 60,003 bytes after its fixed header
        size_t at = 0;
        while (!stop && at < bytes.size()) {  // 1000 bytes every 60 ms: about 3.6 s
            at += RawPeer::offer(fd, bytes.data() + at, std::min<size_t>(1000, bytes.size() - at));
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    RecordingDelegate delegate;
    MqttSession session("trickled", "127.0.0.1", peer.port());
    session.setDelegate(&delegate);
    session.setKeepAlive(1);  // a tick a second; the pings are never answered
    ASSERT_TRUE(session.connect());
    ASSERT_TRUE(
        waitUntil([&] { return delegate.has("message t") || delegate.has("disconnect"); }, 15000));
    EXPECT_TRUE(delegate.has("message t pp")) << delegate.events.back();
}

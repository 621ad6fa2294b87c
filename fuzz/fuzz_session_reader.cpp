// Arbitrary bytes from the broker, through a session on a scripted socket: the
// reader cuts them, the session answers and reports to a delegate.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>

#include "mqtt/codec/logger.h"
#include "mqtt/session.h"
#include "support/fake_socket.h"
#include "support/recording_delegate.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    tgw::mqtt::MqttLogger::logger().setMinLevel(tgw::mqtt::MqttLoggerLevel::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto owned = std::make_unique<tgw::test::FakeSocket>();
    tgw::test::FakeSocket* socket = owned.get();
    socket->record = false;
    tgw::test::RecordingDelegate delegate;
    delegate.wantsPublishComplete = true;
    {
        tgw::mqtt::MqttSession session("fuzz", "h", 1, std::move(owned));
        session.setDelegate(&delegate);
        session.setMaxIncomingPacketSize(256);  // so larger PUBLISHes take the skipping path
        session.subscribe("a/b");
        session.publish("a/b", "x", tgw::mqtt::MqttQos::qos1);
        session.connect();
        socket->completeConnect();
        // Half the input in one chunk, the rest byte by byte.
        const size_t half = size / 2;
        socket->feed(tgw::mqtt::Bytes(data, data + half));
        for (size_t i = half; i < size; ++i) socket->feed(tgw::mqtt::Bytes{data[i]});
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return 0;
}

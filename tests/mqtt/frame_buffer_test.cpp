// The outbound window: ten in flight, QoS 0 keeping its place, the size of the
// waiting list, acknowledgements, duplicate ids and giving up on a frame.
#include <gtest/gtest.h>

#include "log_capture.h"
#include "mqtt/codec/logger.h"
#include "mqtt/frame_buffer.h"
#include "support/wait.h"

using namespace tgw::mqtt;
using tgw::test::waitUntil;

namespace {

class Recorder : public MqttFrameBufferDelegate {
  public:
    void buffer(MqttFrameBuffer&, MqttFramePublish& frame) override {
        sent.push_back(frame.msgid().value_or(0));
    }
    std::vector<uint16_t> sent;
};

MqttFramePublish frame(uint16_t id, uint8_t qos = 1) {
    MqttFramePublish f(id, "t", toBytes("p"));
    f.setQos(qos);
    return f;
}

std::vector<uint16_t> ids(uint16_t from, uint16_t to) {
    std::vector<uint16_t> v;
    for (uint16_t i = from; i <= to; ++i) v.push_back(i);
    return v;
}

class FrameBufferTest : public ::testing::Test {
  protected:
    FrameBufferTest() { buffer.setDelegate(&recorder); }
    Recorder recorder;
    MqttFrameBuffer buffer;
};

}  // namespace

TEST_F(FrameBufferTest, TenInFlightThenAnAckLetsTheNextOneGo) {
    for (uint16_t i = 1; i <= 12; ++i) EXPECT_TRUE(buffer.add(frame(i)));
    EXPECT_EQ(recorder.sent, ids(1, 10));
    EXPECT_EQ(buffer.waitingCount(), 2u);
    buffer.sendSuccess(3);
    EXPECT_EQ(recorder.sent.size(), 10u);  // freed only once the event loop runs
    ASSERT_TRUE(waitUntil([&] { return recorder.sent.size() == 11; }));
    EXPECT_EQ(recorder.sent.back(), 11);
    EXPECT_EQ(buffer.inFlightCount(), 10u);
}

TEST_F(FrameBufferTest, QosZeroIsWrittenAtOnceButWaitsBehindAFullWindow) {
    buffer.add(frame(1, 0));
    EXPECT_EQ(recorder.sent, std::vector<uint16_t>{1});
    EXPECT_EQ(buffer.inFlightCount(), 0u);

    for (uint16_t i = 2; i <= 11; ++i) buffer.add(frame(i));
    buffer.add(frame(12, 0));
    EXPECT_EQ(recorder.sent.back(), 11);
    EXPECT_TRUE(buffer.removeFrameFromSilos(5));
    EXPECT_EQ(recorder.sent.back(), 12);
    EXPECT_EQ(buffer.inFlightCount(), 9u);  // QoS 0 took no slot
}

TEST_F(FrameBufferTest, WaitingListIsBoundedByBytesNotFrames) {
    buffer.setSilosMaxNumber(0);  // nothing leaves the waiting list
    const size_t one = MqttFrameBuffer::frameBytes(frame(1));
    buffer.setMaxWaitingBytes(3 * one);
    for (uint16_t i = 1; i <= 3; ++i) ASSERT_TRUE(buffer.add(frame(i))) << i;
    tgw::test::LogCapture log;
    std::string out;
    {
        tgw::test::MqttLogLevel debug(MqttLoggerLevel::debug);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(buffer.add(frame(4)));
        out = testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(out, "MQTT(debug): Buffer is full, message(4) was abandoned.\n");
    EXPECT_TRUE(log.has("warning", "message 4 of")) << log.all().toStdString();
    EXPECT_EQ(buffer.waitingCount(), 3u);
    EXPECT_EQ(buffer.waitingBytes(), 3 * one);
    EXPECT_EQ(buffer.abandonedCount(), 1u);

    // Room comes back as frames leave; the default bound holds thousands.
    buffer.setSilosMaxNumber(10);
    buffer.tryTransport();
    EXPECT_EQ(buffer.waitingBytes(), 0u);
    buffer.setMaxWaitingBytes(MqttFrameBuffer::kDefaultMaxWaitingBytes);
    for (uint16_t i = 5; i <= 5000; ++i) ASSERT_TRUE(buffer.add(frame(i))) << i;
}

TEST_F(FrameBufferTest, OneAckRemovesOnlyTheOlderOfTwoSameIds) {
    buffer.add(frame(7));
    buffer.add(frame(7));
    EXPECT_TRUE(buffer.removeFrameFromSilos(7));
    EXPECT_EQ(buffer.inFlightCount(), 1u);
    EXPECT_FALSE(buffer.removeFrameFromSilos(8));
}

TEST_F(FrameBufferTest, UnacknowledgedFrameIsGivenUpAndItsSlotReused) {
    buffer.setTimeout(0.2);
    for (uint16_t i = 1; i <= 11; ++i) buffer.add(frame(i));
    tgw::test::MqttLogLevel debug(MqttLoggerLevel::debug);
    testing::internal::CaptureStdout();
    const bool freed = waitUntil([&] { return buffer.inFlightCount() == 0; }, 3000);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(freed);
    EXPECT_EQ(recorder.sent, ids(1, 11));  // 11 went out once 1..10 timed out, none re-sent
    EXPECT_NE(out.find("MQTT(debug): timeout of frame:1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("MQTT(debug): timeout of frame:11\n"), std::string::npos) << out;
}

TEST_F(FrameBufferTest, TimerFollowsAnEarlierDeadlineAndSurvivesHugeTimeouts) {
    buffer.setTimeout(30.0 * 24 * 3600);  // beyond what a QTimer counts in int ms
    buffer.add(frame(1));
    buffer.setTimeout(0.1);
    buffer.add(frame(2));
    ASSERT_TRUE(waitUntil([&] { return buffer.inFlightCount() == 1; }, 3000));
    EXPECT_FALSE(buffer.removeFrameFromSilos(2));  // frame 2 timed out, frame 1 waits on
    buffer.setTimeout(1e300);
    buffer.add(frame(3));
    tgw::test::processEventsFor(50);
    EXPECT_EQ(buffer.inFlightCount(), 2u);
}

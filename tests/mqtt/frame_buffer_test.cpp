// The write queue: frames wait, in order and without a bound, while paused,
// and go straight through once the connection is accepted.
#include <gtest/gtest.h>

#include "mqtt/frame_buffer.h"

using namespace tgw::mqtt;

namespace {

class Recorder : public MqttFrameBufferDelegate {
  public:
    void buffer(MqttFrameBuffer& b, MqttFramePublish& frame) override {
        sent.push_back(frame.msgid().value_or(0));
        if (sent.size() == 1) b.add(MqttFramePublish(999, "t", toBytes("p")));  // re-entered
    }
    std::vector<uint16_t> sent;
};

}  // namespace

TEST(FrameBuffer, WaitsInOrderWhilePausedThenWritesEverythingInOrder) {
    Recorder recorder;
    MqttFrameBuffer buffer;
    buffer.setDelegate(&recorder);
    for (uint16_t i = 1; i <= 5000; ++i) buffer.add(MqttFramePublish(i, "t", toBytes("p")));
    EXPECT_TRUE(recorder.sent.empty());
    EXPECT_EQ(buffer.waitingCount(), 5000u);
    buffer.setPaused(false);
    ASSERT_EQ(recorder.sent.size(), 5001u);
    EXPECT_EQ(recorder.sent[4999], 5000);
    EXPECT_EQ(recorder.sent.back(), 999);  // added while writing: after the rest
    EXPECT_EQ(buffer.waitingBytes(), 0u);
    buffer.add(MqttFramePublish(7, "t", toBytes("p")));
    EXPECT_EQ(recorder.sent.back(), 7);
}

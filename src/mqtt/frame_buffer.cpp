#include "mqtt/frame_buffer.h"

namespace tgw::mqtt {

size_t MqttFrameBuffer::frameBytes(const MqttFramePublish& frame) {
    // Fixed header and length (at most 5), topic prefix and id (4), topic, payload.
    return 9 + (frame.topic() ? frame.topic()->size() : 0) + frame.payload().size();
}

void MqttFrameBuffer::add(MqttFramePublish frame) {
    if (!m_paused && m_waiting.empty()) {
        if (m_delegate) m_delegate->buffer(*this, frame);
        return;
    }
    m_waitingBytes += frameBytes(frame);
    m_waiting.push_back(std::move(frame));
}

void MqttFrameBuffer::setPaused(bool paused) {
    m_paused = paused;
    // A loop, not a recursion: a long queue costs no stack. A frame added by
    // the delegate meanwhile joins the end of the queue.
    while (!m_paused && !m_waiting.empty()) {
        MqttFramePublish frame = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_waitingBytes -= frameBytes(frame);
        if (m_delegate) m_delegate->buffer(*this, frame);
    }
}

}  // namespace tgw::mqtt

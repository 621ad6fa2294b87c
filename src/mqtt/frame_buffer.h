// MqttFrameBuffer: flow control for outgoing PUBLISH frames. Frames wait in
// arrival order; at most silosMaxNumber frames that await an acknowledgement are
// in flight at once; a frame whose acknowledgement has not come within `timeout`
// seconds is given up (never re-sent). QoS 0 frames keep their place in the
// queue but never take an in-flight slot. Owned by the session, which is its
// delegate and writes each frame it is handed.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <deque>
#include <memory>

#include "mqtt/codec/frame_publish.h"

namespace tgw::mqtt {

class MqttFrameBuffer;

class MqttFrameBufferDelegate {
  public:
    virtual ~MqttFrameBufferDelegate() = default;
    // Write the frame's bytes to the connection now.
    virtual void buffer(MqttFrameBuffer& buffer, MqttFramePublish& frame) = 0;
};

class MqttFrameBuffer {
  public:
    MqttFrameBuffer();
    ~MqttFrameBuffer();

    // Non-owning; the delegate must outlive the buffer or unset itself.
    void setDelegate(MqttFrameBufferDelegate* delegate) { m_delegate = delegate; }

    size_t silosMaxNumber() const { return m_silosMaxNumber; }
    void setSilosMaxNumber(size_t n) { m_silosMaxNumber = n; }
    double timeout() const { return m_timeout; }
    void setTimeout(double seconds) { m_timeout = seconds; }
    size_t bufferSize() const { return m_bufferSize; }
    void setBufferSize(size_t n) { m_bufferSize = n; }

    size_t waitingCount() const { return m_buffer.size(); }
    // Frames refused by add() since the buffer was made.
    size_t abandonedCount() const { return m_abandoned; }
    size_t inFlightCount() const { return m_silos.size(); }
    bool isBufferEmpty() const { return m_buffer.empty(); }
    // Strictly greater: the waiting list takes up to bufferSize + 1 frames.
    bool isBufferFull() const { return m_buffer.size() > m_bufferSize; }
    bool isSilosFull() const { return m_silos.size() >= m_silosMaxNumber; }

    // Queues the frame and sends what the window allows; false (frame dropped,
    // logged) when the waiting list is full.
    bool add(MqttFramePublish frame);
    void tryTransport();
    // Frees the slot of `msgid` once the event loop runs (PUBACK or PUBCOMP).
    void sendSuccess(uint16_t msgid);
    // Removes the oldest in-flight frame with this id and sends the next one.
    bool removeFrameFromSilos(uint16_t msgid);

  private:
    using Clock = std::chrono::steady_clock;
    struct InFlight {
        MqttFramePublish frame;
        Clock::time_point deadline;
    };
    void send(MqttFramePublish& frame);
    void expire();
    void armTimer();

    MqttFrameBufferDelegate* m_delegate = nullptr;
    std::deque<InFlight> m_silos;
    std::deque<MqttFramePublish> m_buffer;
    size_t m_bufferSize = 2000;
    size_t m_silosMaxNumber = 10;
    double m_timeout = 60.0;
    bool m_transporting = false;
    size_t m_abandoned = 0;
    QObject m_context;  // receiver of queued work; gone with the buffer
    QTimer m_timer;
};

}  // namespace tgw::mqtt

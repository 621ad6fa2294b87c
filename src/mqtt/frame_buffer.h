// MqttFrameBuffer: flow control for outgoing PUBLISH frames. Frames wait in
// arrival order, up to maxWaitingBytes of them; at most silosMaxNumber frames
// that await an acknowledgement are in flight at once; a frame whose
// acknowledgement has not come within `timeout` seconds is given up (never
// re-sent) and its delegate told; its slot goes to the next frame, but its id
// stays in use and a late acknowledgement still counts. A frame in flight is
// remembered by its id and size only. QoS 0 frames keep their place in the queue
// but never take an in-flight slot. Owned by the session, which is its
// delegate and writes each frame it is handed.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mqtt/codec/frame_publish.h"

namespace tgw::mqtt {

class MqttFrameBuffer;

class MqttFrameBufferDelegate {
  public:
    virtual ~MqttFrameBufferDelegate() = default;
    // Write the frame's bytes to the connection now. (The name is the
    // operation's historical one: "buffer, send this publish frame".)
    virtual void buffer(MqttFrameBuffer& buffer, MqttFramePublish& frame) = 0;
    // The frame's acknowledgement did not come within the timeout; it is gone.
    virtual void bufferDidGiveUp(MqttFrameBuffer&, uint16_t /*msgid*/) {}
};

class MqttFrameBuffer {
  public:
    static constexpr size_t kDefaultMaxWaitingBytes = 64 * 1024 * 1024;

    MqttFrameBuffer();
    ~MqttFrameBuffer();

    // Non-owning; the delegate must outlive the buffer or unset itself.
    void setDelegate(MqttFrameBufferDelegate* delegate) { m_delegate = delegate; }

    size_t silosMaxNumber() const { return m_silosMaxNumber; }
    void setSilosMaxNumber(size_t n) { m_silosMaxNumber = n; }
    double timeout() const { return m_timeout; }
    void setTimeout(double seconds) { m_timeout = seconds; }
    // The waiting list's bound, counted in wire bytes of the frames waiting.
    size_t maxWaitingBytes() const { return m_maxWaitingBytes; }
    void setMaxWaitingBytes(size_t n) { m_maxWaitingBytes = n; }

    size_t waitingCount() const { return m_buffer.size(); }
    size_t waitingBytes() const { return m_waitingBytes; }
    // Frames refused by add() since the buffer was made.
    size_t abandonedCount() const { return m_abandoned; }
    size_t inFlightCount() const { return m_silos.size(); }
    bool isBufferEmpty() const { return m_buffer.empty(); }
    // Whether a frame of `frameBytes` would push the waiting list past its bound.
    bool isBufferFull(size_t frameBytes = 0) const {
        return m_waitingBytes + frameBytes > m_maxWaitingBytes;
    }
    bool isSilosFull() const { return m_silos.size() >= m_silosMaxNumber; }

    // Queues the frame and sends what the window allows; false (frame dropped,
    // logged) when it does not fit the waiting list beside `alsoHeld` bytes
    // held elsewhere for the same connection (written, not yet sent).
    bool add(MqttFramePublish frame, size_t alsoHeld = 0);
    void tryTransport();
    // Frees the slot of `msgid` once the event loop runs (PUBACK or PUBCOMP);
    // false, and nothing queued, when no frame with that id is outstanding
    // (so a flood of such acknowledgements costs no memory).
    bool sendSuccess(uint16_t msgid);
    // Whether a frame with this id awaits its acknowledgement: in flight, or
    // given up and possibly still acknowledged.
    bool isOutstanding(uint16_t msgid) const;
    // Whether a frame with this id waits or is in flight: its id is in use.
    bool holds(uint16_t msgid) const { return m_ids.contains(msgid); }
    // Wire bytes of the frames in flight (written, not yet acknowledged).
    size_t inFlightBytes() const { return m_inFlightBytes; }
    // Removes the oldest in-flight frame with this id and sends the next one.
    bool removeFrameFromSilos(uint16_t msgid);

    // While paused (no connection to write to) nothing is sent and nothing in
    // flight times out; unpausing sends what the window allows.
    bool paused() const { return m_paused; }
    void setPaused(bool paused);

    // Bytes a frame occupies in the waiting list (its wire size, near enough).
    static size_t frameBytes(const MqttFramePublish& frame);

  private:
    using Clock = std::chrono::steady_clock;
    // A frame written and awaiting its acknowledgement; its bytes are gone.
    struct InFlight {
        uint16_t msgid;
        size_t bytes;
        Clock::time_point deadline;
    };
    void forget(uint16_t msgid);
    void send(MqttFramePublish& frame);
    void expire();
    void armTimer();
    void settleAcks();

    MqttFrameBufferDelegate* m_delegate = nullptr;
    std::deque<InFlight> m_silos;
    std::deque<MqttFramePublish> m_buffer;
    size_t m_waitingBytes = 0;
    size_t m_inFlightBytes = 0;
    std::unordered_map<uint16_t, uint32_t> m_ids;  // ids of frames waiting, in flight or given up
    std::unordered_set<uint16_t> m_givenUp;
    size_t m_maxWaitingBytes = kDefaultMaxWaitingBytes;
    size_t m_silosMaxNumber = 10;
    double m_timeout = 60.0;
    bool m_transporting = false;
    bool m_paused = false;
    size_t m_abandoned = 0;
    std::vector<uint16_t> m_acked;  // acknowledged in-flight ids, settled on the next loop turn
    QObject m_context;              // receiver of queued work; gone with the buffer
    QTimer m_timer;
};

}  // namespace tgw::mqtt

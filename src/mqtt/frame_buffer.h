// MqttFrameBuffer: the write queue of one connection. PUBLISH frames made
// before the broker accepted the connection wait here, in order, and are
// written the moment it does; afterwards a frame goes straight through. It
// keeps no bound and no window and gives nothing up: how much is in flight,
// and what happens to it when the connection ends, is decided by the owner of
// the session (the outbox), which knows every message it handed over.
// Owned by the session, which is its delegate and writes each frame it is
// handed.
#pragma once

#include <deque>

#include "mqtt/codec/frame_publish.h"

namespace tgw::mqtt {

class MqttFrameBuffer;

class MqttFrameBufferDelegate {
  public:
    virtual ~MqttFrameBufferDelegate() = default;
    // Write the frame's bytes to the connection now. (The name is the
    // operation's historical one: "buffer, send this publish frame".)
    virtual void buffer(MqttFrameBuffer& buffer, MqttFramePublish& frame) = 0;
};

class MqttFrameBuffer {
  public:
    // Non-owning; the delegate must outlive the buffer or unset itself.
    void setDelegate(MqttFrameBufferDelegate* delegate) { m_delegate = delegate; }

    // Writes the frame now, or keeps it, in order, while paused.
    void add(MqttFramePublish frame);
    // While paused (no accepted connection to write to) frames wait;
    // unpausing writes them all, oldest first. A new buffer is paused.
    bool paused() const { return m_paused; }
    // Whether a frame added now is written at once rather than kept.
    bool writesThrough() const { return !m_paused && m_waiting.empty(); }
    void setPaused(bool paused);

    size_t waitingCount() const { return m_waiting.size(); }
    size_t waitingBytes() const { return m_waitingBytes; }

    // Bytes a frame occupies on the wire, near enough.
    static size_t frameBytes(const MqttFramePublish& frame);

  private:
    MqttFrameBufferDelegate* m_delegate = nullptr;
    std::deque<MqttFramePublish> m_waiting;
    size_t m_waitingBytes = 0;
    bool m_paused = true;
};

}  // namespace tgw::mqtt

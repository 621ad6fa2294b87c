#include "mqtt/frame_buffer.h"

#include <QCoreApplication>

#include "mqtt/codec/logger.h"

namespace tgw::mqtt {

MqttFrameBuffer::MqttFrameBuffer() {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_context, [this] { expire(); });
}

MqttFrameBuffer::~MqttFrameBuffer() = default;

bool MqttFrameBuffer::add(MqttFramePublish frame) {
    if (isBufferFull()) {
        ++m_abandoned;
        printDebug("Buffer is full, message(" + std::to_string(frame.msgid().value_or(0)) +
                   ") was abandoned.");
        return false;
    }
    m_buffer.push_back(std::move(frame));
    tryTransport();
    return true;
}

void MqttFrameBuffer::tryTransport() {
    // A loop instead of the recursion "send, then try again": the same order,
    // without a stack that grows with the queue.
    if (m_transporting) return;
    m_transporting = true;
    while (!isBufferEmpty() && !isSilosFull()) {
        MqttFramePublish frame = std::move(m_buffer.front());
        m_buffer.pop_front();
        send(frame);
        if (frame.qos() == 0) continue;
        const auto timeout =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_timeout));
        m_silos.push_back({std::move(frame), Clock::now() + timeout});
        armTimer();
    }
    m_transporting = false;
}

void MqttFrameBuffer::send(MqttFramePublish& frame) {
    if (m_delegate) m_delegate->buffer(*this, frame);
}

void MqttFrameBuffer::sendSuccess(uint16_t msgid) {
    QMetaObject::invokeMethod(
        &m_context,
        [this, msgid] {
            removeFrameFromSilos(msgid);
            if (debugEnabled()) printDebug("sendMessageSuccess:" + std::to_string(msgid));
        },
        Qt::QueuedConnection);
}

bool MqttFrameBuffer::removeFrameFromSilos(uint16_t msgid) {
    for (auto it = m_silos.begin(); it != m_silos.end(); ++it) {
        if (it->frame.msgid() == msgid) {
            m_silos.erase(it);
            tryTransport();
            return true;
        }
    }
    return false;
}

void MqttFrameBuffer::armTimer() {
    if (m_silos.empty()) {
        m_timer.stop();
        return;
    }
    if (m_timer.isActive()) return;
    auto earliest = m_silos.front().deadline;
    for (const InFlight& f : m_silos) earliest = std::min(earliest, f.deadline);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(earliest - Clock::now()).count();
    m_timer.start(static_cast<int>(std::max<long long>(0, wait)));
}

void MqttFrameBuffer::expire() {
    const auto now = Clock::now();
    for (auto it = m_silos.begin(); it != m_silos.end();) {
        if (it->deadline <= now) {
            const uint16_t id = it->frame.msgid().value_or(0);
            it = m_silos.erase(it);
            printDebug("timeout of frame:" + std::to_string(id));
        } else {
            ++it;
        }
    }
    tryTransport();
    armTimer();
}

}  // namespace tgw::mqtt

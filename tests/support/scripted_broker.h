// A broker played from a script over a FakeSocket: each expect(bytes) is the
// next packet the session must write, and reply(bytes) what the broker answers
// to it, fed from the event loop as a real broker's answer would arrive.
// unexpected() at the end says what went wrong: a write nobody expected, or
// an expected one that never came.
//
//   broker.expect(connect).reply(hex("20 02 00 00")).expect(subscribe).reply(suback);
#pragma once

#include <QObject>
#include <deque>
#include <string>

#include "support/fake_socket.h"
#include "support/hex.h"

namespace tgw::test {

class ScriptedBroker {
  public:
    // `socket` must outlive the broker.
    explicit ScriptedBroker(FakeSocket& socket) : m_socket(socket) {
        socket.onWrite = [this](const Bytes& bytes) { written(bytes); };
    }
    ~ScriptedBroker() { m_socket.onWrite = nullptr; }

    ScriptedBroker& expect(Bytes bytes) {
        m_steps.push_back({std::move(bytes), {}});
        return *this;
    }
    ScriptedBroker& reply(Bytes bytes) {
        m_steps.back().reply = std::move(bytes);
        return *this;
    }
    bool done() const { return m_steps.empty(); }
    // Empty when every write was expected, in order, and every expectation met.
    std::string unexpected() const {
        std::string out = m_unexpected;
        for (const Step& s : m_steps) out += "never written: " + toHex(s.bytes) + "\n";
        return out;
    }

  private:
    struct Step {
        Bytes bytes;
        Bytes reply;
    };
    void written(const Bytes& bytes) {
        if (m_steps.empty() || m_steps.front().bytes != bytes) {
            m_unexpected += "unexpected write: " + toHex(bytes) + "\n";
            return;
        }
        Bytes reply = std::move(m_steps.front().reply);
        m_steps.pop_front();
        if (reply.empty()) return;
        QMetaObject::invokeMethod(
            &m_context, [this, reply] { m_socket.feed(reply); }, Qt::QueuedConnection);
    }

    FakeSocket& m_socket;
    std::deque<Step> m_steps;
    std::string m_unexpected;
    QObject m_context;  // queued replies die with the broker
};

}  // namespace tgw::test

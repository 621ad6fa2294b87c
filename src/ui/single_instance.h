// One agent per user: the first start holds a lock file in the user's runtime
// folder ($XDG_RUNTIME_DIR) and listens on a local socket beside it; a later
// start finds the lock, asks the first over the socket to raise its window,
// and ends. A lock left by a crashed agent is taken over (QLockFile notices
// that its process is gone). The socket also answers "status" with one line
// of JSON (see setStatusSource), for `--status`.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <deque>
#include <functional>
#include <memory>

namespace tgw::ui {

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Claim {
        first,       // this process is the agent: call listen() once the event loop exists
        handedOver,  // another agent runs and was asked to raise its window
        failed,      // another agent holds the lock but did not answer
    };

    // `folder`: where the lock and the socket live; the user's runtime folder when empty.
    explicit SingleInstance(QString folder = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the lock or hands over to the agent that holds it. Needs no
    // application object. Waits at most `timeoutMs` for a starting agent to answer.
    Claim claim(int timeoutMs = 5000);
    // Starts answering later starts (after claim() returned first).
    bool listen();
    // What a "status" request is answered with (compact JSON, one line).
    void setStatusSource(std::function<QByteArray()> source) { m_status = std::move(source); }

    const QString& folder() const { return m_folder; }
    QString lockPath() const { return m_folder + "/tgw-mobile-tool.lock"; }
    QString socketPath() const { return m_folder + "/tgw-mobile-tool.socket"; }

  signals:
    // A later start asked for the window.
    void raiseRequested();

  private:
    void answer();

    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
    std::function<QByteArray()> m_status;
    std::deque<QPointer<QLocalSocket>> m_open;  // connections not yet closed, oldest first
};

}  // namespace tgw::ui

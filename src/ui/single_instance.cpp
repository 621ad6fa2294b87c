#include "ui/single_instance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include "common/diagnostics.h"

namespace tgw::ui {

namespace {

constexpr char kRequest[] = "raise\n";
constexpr char kReply[] = "raised\n";
constexpr char kStatusRequest[] = "status\n";
// A connection that has not sent its request by then is closed; beyond this
// many open at once the oldest goes, so idle connections cannot pile up.
constexpr int kRequestWaitMs = 3000;
constexpr size_t kMaxConnections = 32;

QString runtimeFolder() {
    const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!folder.isEmpty() && QDir(folder).exists()) return folder;
    // Qt makes a private per-user folder when the session has none.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

// Asks the agent listening on `path` to raise its window; true when it said so.
bool askToRaise(const QString& path, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    QByteArray reply;
    QDeadlineTimer deadline(timeoutMs);
    while (!reply.contains('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime()))) break;
        reply += socket.readAll();
    }
    return reply == kReply;
}

}  // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), m_folder(folder.isEmpty() ? runtimeFolder() : folder) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::answer);
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Claim SingleInstance::claim(int timeoutMs) {
    QDir().mkpath(m_folder);
    m_lock = std::make_unique<QLockFile>(lockPath());
    // Never steal a lock for its age: a running agent holds it for days.
    m_lock->setStaleLockTime(0);
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (m_lock->tryLock(0)) return Claim::first;
        if (m_lock->error() != QLockFile::LockFailedError) {
            // No permission or an unusable folder: run rather than refuse to start.
            qCWarning(lcConfig).noquote() << "cannot use the lock file" << lockPath()
                                          << "; not checking for another running agent";
            return Claim::first;
        }
        // The holder may still be starting and not listen yet: ask again shortly.
        if (askToRaise(socketPath(), std::min<qint64>(1000, deadline.remainingTime() + 1)))
            return Claim::handedOver;
        if (deadline.hasExpired()) return Claim::failed;
        QThread::msleep(100);
    }
}

bool SingleInstance::listen() {
    QLocalServer::removeServer(socketPath());  // a socket file left by a crashed agent
    if (!m_server.listen(socketPath())) {
        qCWarning(lcConfig).noquote()
            << "cannot listen on" << socketPath() << ":" << m_server.errorString();
        return false;
    }
    return true;
}

void SingleInstance::answer() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        std::erase_if(m_open, [](const QPointer<QLocalSocket>& s) { return s.isNull(); });
        if (m_open.size() >= kMaxConnections) {
            if (m_open.front()) m_open.front()->abort();
            m_open.pop_front();
        }
        m_open.push_back(socket);
        QTimer::singleShot(kRequestWaitMs, socket, [socket] { socket->abort(); });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() > 64) {  // not ours
                socket->abort();
                return;
            }
            if (!socket->canReadLine()) return;
            const QByteArray request = socket->readLine();
            if (request == kRequest) {
                emit raiseRequested();
                socket->write(kReply);
            } else if (request == kStatusRequest && m_status) {
                socket->write(m_status() + '\n');
            }
            socket->disconnectFromServer();
        });
    }
}

}  // namespace tgw::ui

#include "support/login_stub.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <algorithm>

namespace tgw::test {

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

}  // namespace

LoginStub::LoginStub() {
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificate(QSslCertificate(readFile(TGW_TEST_DATA_DIR "/server.crt")));
    conf.setPrivateKey(QSslKey(readFile(TGW_TEST_DATA_DIR "/server.key"), QSsl::Rsa));
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server.setSslConfiguration(conf);
    connect(&m_server, &QSslServer::pendingConnectionAvailable, this, [this] {
        while (auto* socket = static_cast<QSslSocket*>(m_server.nextPendingConnection())) {
            serve(socket);
        }
    });
}

LoginStub::~LoginStub() = default;

bool LoginStub::listen() {
    if (m_server.isListening()) return true;
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QString LoginStub::url() const {
    return QStringLiteral("https://localhost:%1").arg(m_server.serverPort());
}

void LoginStub::serve(QSslSocket* socket) {
    auto* buffer = new QByteArray;
    connect(socket, &QSslSocket::disconnected, socket, [socket, buffer] {
        delete buffer;
        socket->deleteLater();
    });
    connect(socket, &QSslSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
        if (headerEnd < 0) return;
        const QByteArray head = buffer->left(headerEnd);
        qsizetype length = 0;
        QByteArray contentType;
        for (const QByteArray& line : head.split('\n')) {
            const QByteArray l = line.trimmed();
            if (l.toLower().startsWith("content-length:"))
                length = l.mid(15).trimmed().toLongLong();
            if (l.toLower().startsWith("content-type:")) contentType = l.mid(13).trimmed();
        }
        if (buffer->size() < headerEnd + 4 + length) return;
        ++requests;
        lastPath = head.split(' ').value(1);
        lastBody = buffer->mid(headerEnd + 4, length);
        lastContentType = contentType;
        buffer->clear();
        if (answers) answer(socket);
    });
}

void LoginStub::answer(QSslSocket* socket) {
    if (!redirectTo.isEmpty()) {
        socket->write("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + redirectTo +
                      "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    if (endlessBodyBytes > 0) {
        bodyBytesSent = 0;
        socket->write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
            "Connection: close\r\n\r\n");
        connect(socket, &QSslSocket::encryptedBytesWritten, socket,
                [this, socket] { writeEndlessBody(socket); });
        writeEndlessBody(socket);
        return;
    }
    const QByteArray response = "HTTP/1.1 " + QByteArray::number(status) +
                                " Status\r\nContent-Type: application/json\r\n"
                                "Connection: close\r\nContent-Length: " +
                                QByteArray::number(replyBody.size()) + "\r\n\r\n" + replyBody;
    socket->write(response);
    socket->disconnectFromHost();
}

void LoginStub::writeEndlessBody(QSslSocket* socket) {
    constexpr qint64 kChunk = 64 * 1024;
    if (socket->state() != QAbstractSocket::ConnectedState) return;
    // Keep a little ahead of the reader, never the whole body in memory.
    while (bodyBytesSent < endlessBodyBytes &&
           socket->bytesToWrite() + socket->encryptedBytesToWrite() < 4 * kChunk) {
        const qint64 n = std::min(kChunk, endlessBodyBytes - bodyBytesSent);
        socket->write(QByteArray(n, ' '));
        bodyBytesSent += n;
    }
    if (bodyBytesSent == endlessBodyBytes) socket->disconnectFromHost();
}

}  // namespace tgw::test

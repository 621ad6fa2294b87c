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

bool LoginStub::listen(quint16 port) {
    if (m_server.isListening()) return true;
    return m_server.listen(QHostAddress::LocalHost, port);
}

QString LoginStub::url() const {
    return QStringLiteral("https://localhost:%1").arg(m_server.serverPort());
}

void LoginStub::serve(QSslSocket* socket) {
    ++m_open;
    auto* buffer = new QByteArray;
    connect(socket, &QSslSocket::disconnected, socket, [this, socket, buffer] {
        --m_open;
        delete buffer;
        socket->deleteLater();
    });
    connect(socket, &QSslSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        handleRequests(socket, *buffer);
    });
}

void LoginStub::handleRequests(QSslSocket* socket, QByteArray& buffer) {
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) return;
        const QByteArray head = buffer.left(headerEnd);
        qsizetype length = 0;
        QByteArray contentType;
        QByteArray connection;
        for (const QByteArray& line : head.split('\n')) {
            const QByteArray l = line.trimmed();
            const QByteArray name = l.left(l.indexOf(':')).toLower();
            const QByteArray value = l.mid(l.indexOf(':') + 1).trimmed();
            if (name == "content-length") length = value.toLongLong();
            if (name == "content-type") contentType = value;
            if (name == "connection") connection = value;
        }
        if (buffer.size() < headerEnd + 4 + length) return;
        ++requests;
        const QList<QByteArray> requestLine = head.left(head.indexOf('\r')).split(' ');
        lastPath = requestLine.value(1);
        requestLines << requestLine.value(0) + ' ' + lastPath;
        lastBody = buffer.mid(headerEnd + 4, length);
        lastContentType = contentType;
        lastConnectionHeader = connection;
        buffer.remove(0, headerEnd + 4 + length);
        if (answers) answer(socket);
    }
}

void LoginStub::answer(QSslSocket* socket) {
    const QByteArray connection = keepAlive ? "" : "Connection: close\r\n";
    if (!redirectTo.isEmpty() && lastPath == "/api/connect") {
        socket->write("HTTP/1.1 " + QByteArray::number(redirectStatus) + " Redirect\r\nLocation: " +
                      redirectTo + "\r\n" + connection + "Content-Length: 0\r\n\r\n");
        endAnswer(socket);
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
                                " Status\r\nContent-Type: application/json\r\n" + connection +
                                "Content-Length: " + QByteArray::number(replyBody.size()) +
                                "\r\n\r\n" + replyBody;
    socket->write(response);
    endAnswer(socket);
}

void LoginStub::endAnswer(QSslSocket* socket) {
    if (!keepAlive) socket->disconnectFromHost();
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

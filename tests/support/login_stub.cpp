#include "support/login_stub.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

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

bool LoginStub::listen() {
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
        const QByteArray response = "HTTP/1.1 " + QByteArray::number(status) +
                                    " Status\r\nContent-Type: application/json\r\n"
                                    "Connection: close\r\nContent-Length: " +
                                    QByteArray::number(replyBody.size()) + "\r\n\r\n" + replyBody;
        socket->write(response);
        socket->disconnectFromHost();
    });
}

}  // namespace tgw::test

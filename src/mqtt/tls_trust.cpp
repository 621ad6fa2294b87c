#include "mqtt/tls_trust.h"

#include <QSslSocket>
#include <QTimer>

namespace tgw::mqtt {

QList<QSslCertificate> trustedCaCertificates(const std::vector<std::vector<uint8_t>>& extraCas) {
    // Reading the system's store parses every file in it (about 100 ms of CPU
    // and some MB per copy): it is read once per process and shared by every
    // connection; the extra CAs are still read anew each time.
    static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QList<QSslCertificate> cas = system;
    for (const auto& bytes : extraCas) {
        const QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                              static_cast<qsizetype>(bytes.size()));
        QList<QSslCertificate> certs = QSslCertificate::fromData(data, QSsl::Pem);
        if (certs.isEmpty()) certs = QSslCertificate::fromData(data, QSsl::Der);
        cas += certs;
    }
    return cas;
}

QSslConfiguration trustedTlsConfiguration(const std::vector<std::vector<uint8_t>>& extraCas) {
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setCaCertificates(trustedCaCertificates(extraCas));
    return conf;
}

std::string describeCertificate(const QSslCertificate& certificate) {
    return "certificate subject \"" + certificate.subjectDisplayName().toStdString() +
           "\", issuer \"" + certificate.issuerDisplayName().toStdString() + "\"";
}

void fetchPeerCertificate(const std::string& host, uint16_t port, QObject* context,
                          std::function<void(std::string)> done) {
    auto* socket = new QSslSocket(context);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    auto finish = [socket, done = std::move(done)](const std::string& names) {
        if (socket->property("done").toBool()) return;
        socket->setProperty("done", true);
        socket->abort();
        socket->deleteLater();
        done(names);
    };
    QObject::connect(socket, &QSslSocket::encrypted, socket,
                     [socket, finish] { finish(describeCertificate(socket->peerCertificate())); });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [finish] { finish({}); });
    QTimer::singleShot(5000, socket, [finish] { finish({}); });
    socket->connectToHostEncrypted(QString::fromStdString(host), port);
}

}  // namespace tgw::mqtt

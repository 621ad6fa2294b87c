#include "mqtt/tls_trust.h"

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

}  // namespace tgw::mqtt

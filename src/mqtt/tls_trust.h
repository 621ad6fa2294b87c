// The certificate authorities every TLS connection of the agent trusts: the
// system's store plus extra CA certificates (PEM, or DER) from the settings.
// One place for the broker socket and the HTTPS login alike. Adding CAs
// replaces Qt's on-demand system roots, hence the system store is read here.
#pragma once

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tgw::mqtt {

QList<QSslCertificate> trustedCaCertificates(const std::vector<std::vector<uint8_t>>& extraCas);

// Qt's default TLS configuration with trustedCaCertificates(extraCas) set.
QSslConfiguration trustedTlsConfiguration(const std::vector<std::vector<uint8_t>>& extraCas);

// "certificate subject "<subject>", issuer "<issuer>"", for the log.
std::string describeCertificate(const QSslCertificate& certificate);

// After a verification failure, the certificate `host` shows, for the log:
// one more TLS handshake that verifies nothing and sends nothing. `done` gets
// "certificate subject ..., issuer ..." (empty when none came within 5 s);
// the probe lives as a child of `context`.
void fetchPeerCertificate(const std::string& host, uint16_t port, QObject* context,
                          std::function<void(std::string)> done);

}  // namespace tgw::mqtt

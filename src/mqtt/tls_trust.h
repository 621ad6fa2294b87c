// The certificate authorities every TLS connection of the agent trusts: the
// system's store plus extra CA certificates (PEM, or DER) from the settings.
// One place for the broker socket and the HTTPS login alike. Adding CAs
// replaces Qt's on-demand system roots, hence the system store is read here.
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <cstdint>
#include <vector>

namespace tgw::mqtt {

QList<QSslCertificate> trustedCaCertificates(const std::vector<std::vector<uint8_t>>& extraCas);

// Qt's default TLS configuration with trustedCaCertificates(extraCas) set.
QSslConfiguration trustedTlsConfiguration(const std::vector<std::vector<uint8_t>>& extraCas);

}  // namespace tgw::mqtt

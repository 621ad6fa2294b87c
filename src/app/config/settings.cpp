#include "app/config/settings.h"

#include <QFile>

#include "app/config/config.h"
#include "common/diagnostics.h"

namespace tgw::app {

std::string brokerHost() {
    return currentConfig().brokerHost.toStdString();
}

uint16_t brokerPort() {
    return currentConfig().brokerPort;
}

std::string webServiceUrl() {
    return currentConfig().webUrl.toStdString();
}

std::string brokerUsername() {
    return currentConfig().brokerUsername.toStdString();
}

std::string brokerPassword() {
    return currentConfig().brokerPassword.toStdString();
}

std::vector<std::vector<uint8_t>> extraCaCertificates() {
    const QString& path = currentConfig().caFile;
    if (path.isEmpty()) return {};
    // Read anew for every connection, so a renewed CA file counts without a restart.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcConfig).noquote()
            << "the CA file" << path << "cannot be read:" << file.errorString();
        return {};
    }
    const QByteArray pem = file.readAll();
    return {std::vector<uint8_t>(pem.begin(), pem.end())};
}

const Limits& limits() {
    return currentConfig().limits;
}

}  // namespace tgw::app

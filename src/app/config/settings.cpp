#include "app/config/settings.h"

#include <QFile>

#include "common/diagnostics.h"

namespace tgw::app {

std::vector<std::vector<uint8_t>> readCaCertificates(const QString& path) {
    if (path.isEmpty()) return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcConfig).noquote()
            << "the CA file" << path << "cannot be read:" << file.errorString();
        return {};
    }
    const QByteArray pem = file.readAll();
    return {std::vector<uint8_t>(pem.begin(), pem.end())};
}

}  // namespace tgw::app

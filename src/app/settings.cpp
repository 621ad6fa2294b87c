#include "app/settings.h"

#include <QFile>
#include <QUrl>

#include "common/console.h"

namespace tgw::app {

std::string brokerHost() {
    const QString host = qEnvironmentVariable("TGW_BROKER_HOST");
    return host.isEmpty() ? std::string(TGW_DEFAULT_BROKER_HOST) : host.toStdString();
}

uint16_t brokerPort() {
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("TGW_BROKER_PORT", &ok);
    if (ok && port > 0 && port <= 65535) return static_cast<uint16_t>(port);
    if (qEnvironmentVariableIsSet("TGW_BROKER_PORT")) {
        writeConsoleLine("TGW_BROKER_PORT is not a port number; using " +
                         std::to_string(TGW_DEFAULT_BROKER_PORT));
    }
    return TGW_DEFAULT_BROKER_PORT;
}

std::string webServiceUrl() {
    const QString url = qEnvironmentVariable("TGW_WEB_URL");
    if (url.isEmpty()) return TGW_DEFAULT_WEB_URL;
    const QUrl parsed(url);
    if (parsed.scheme() != "https" || parsed.host().isEmpty()) {
        writeConsoleLine("TGW_WEB_URL must be an https address; using " +
                         std::string(TGW_DEFAULT_WEB_URL));
        return TGW_DEFAULT_WEB_URL;
    }
    QString base = url;
    while (base.endsWith('/')) base.chop(1);
    return base.toStdString();
}

std::vector<std::vector<uint8_t>> extraCaCertificates() {
    const QString path = qEnvironmentVariable("TGW_CA_FILE");
    if (path.isEmpty()) return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        writeConsoleLine("TGW_CA_FILE cannot be read: " + path.toStdString());
        return {};
    }
    const QByteArray pem = file.readAll();
    return {std::vector<uint8_t>(pem.begin(), pem.end())};
}

const Limits& limits() {
    static const Limits defaults;
    return defaults;
}

}  // namespace tgw::app

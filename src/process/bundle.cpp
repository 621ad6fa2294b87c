#include "process/bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace tgw::process {

namespace {

QString mainResourcesPath() {
    const QString fromEnv = qEnvironmentVariable("TGW_RESOURCES_DIR");
    if (!fromEnv.isEmpty()) return fromEnv;
    const QString exeDir = QCoreApplication::applicationDirPath();
    const QString installed = QDir::cleanPath(exeDir + "/../share/tgw-mobile-tool/resources");
    if (QFileInfo(installed).isDir()) return installed;
    return exeDir + "/resources";
}

}  // namespace

const Bundle& Bundle::mainBundle() {
    static const Bundle bundle(mainResourcesPath());
    return bundle;
}

std::optional<QString> Bundle::pathForResource(const QString& name) const {
    if (name.isEmpty() || name.contains('/') || name == "." || name == "..") return std::nullopt;
    const QFileInfo info(QDir(m_resourcesPath).filePath(name));
    if (!info.isFile()) return std::nullopt;
    return info.absoluteFilePath();
}

}  // namespace tgw::process

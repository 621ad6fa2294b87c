// Bundle: the program's resources folder, where the tools it runs live.
// The main bundle is $TGW_RESOURCES_DIR when set, else the installed folder
// <exe dir>/../share/tgw-mobile-tool/resources, else <exe dir>/resources (the
// build tree).
#pragma once

#include <QString>
#include <optional>

namespace tgw::process {

class Bundle {
  public:
    explicit Bundle(QString resourcesPath) : m_resourcesPath(std::move(resourcesPath)) {}

    static const Bundle& mainBundle();

    // Full path of the resource named exactly `name`, if it exists as a file.
    std::optional<QString> pathForResource(const QString& name) const;
    const QString& resourcesPath() const { return m_resourcesPath; }
    // Names the kind of bundle in error texts.
    static QString className() { return QStringLiteral("Bundle"); }

  private:
    QString m_resourcesPath;
};

}  // namespace tgw::process

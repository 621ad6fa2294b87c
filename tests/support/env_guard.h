// Sets environment variables for one test and restores their earlier values
// (or their absence) when it ends, so tests do not leak settings into each other.
//
//   EnvGuard env{{"TGW_BROKER_PORT", "1883"}, {"TGW_CA_FILE", caFile}};
#pragma once

#include <QByteArray>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

namespace tgw::test {

class EnvGuard {
  public:
    EnvGuard() = default;
    EnvGuard(std::initializer_list<std::pair<const char*, QByteArray>> values) {
        for (const auto& [name, value] : values) set(name, value);
    }
    ~EnvGuard() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                qputenv(it->first, *it->second);
            else
                qunsetenv(it->first);
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    void set(const char* name, const QByteArray& value) {
        remember(name);
        qputenv(name, value);
    }
    void unset(const char* name) {
        remember(name);
        qunsetenv(name);
    }

  private:
    void remember(const char* name) {
        m_saved.emplace_back(name, qEnvironmentVariableIsSet(name)
                                       ? std::optional<QByteArray>(qgetenv(name))
                                       : std::nullopt);
    }
    std::vector<std::pair<const char*, std::optional<QByteArray>>> m_saved;
};

}  // namespace tgw::test

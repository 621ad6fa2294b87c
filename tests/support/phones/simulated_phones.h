// Simulated phones behind the real device tools, for one test suite: phones.py
// with its Android phones attached by `adb connect` to an adb server of the
// suite's own (on a free port, started and stopped by its pid) and its iPhones
// behind the usbmuxd stand-in. While it lives, ANDROID_ADB_SERVER_PORT and
// USBMUXD_SOCKET_ADDRESS name them, so every tool the test starts reaches them.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "support/env_guard.h"

namespace tgw::test {

class SimulatedPhones {
  public:
    struct Options {
        int android = 1;
        int iphones = 0;
        // "android:INDEX:MODE" or "iphone:INDEX:MODE", as phones.py takes them.
        QStringList modes = {};
    };

    // Starts everything and waits until each Android phone is listed by adb
    // (as "device", or "unauthorized" in that mode); `error()` says what failed.
    explicit SimulatedPhones(Options options);
    // Stops the adb server (kill-server, then its pid) and phones.py by pid.
    ~SimulatedPhones();

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    // The adb serials ("127.0.0.1:PORT") and the udids, in index order.
    const QStringList& androidSerials() const { return m_serials; }
    const QStringList& iphoneUdids() const { return m_udids; }

    // Runs a device tool against the phones and returns what it printed
    // (standard error merged); empty when it did not end within 20 s.
    static QString runTool(const QString& program, const QStringList& arguments);
    // One request to phones.py's control socket; its answer line.
    std::string control(const std::string& request);
    // Stops the adb server as another program's adb would, then starts a new
    // one and attaches the phones to it again; false when that failed.
    bool restartAdbServer();

  private:
    void start(const Options& options);
    // Each phone listed in the state its modes start it in, or (not
    // `asStarted`) as allowed since.
    bool waitForAdb(const Options& options, bool asStarted = true);
    bool startAdbServer();
    void stopAdbServer();

    QTemporaryDir m_dir;
    EnvGuard m_env;
    std::unique_ptr<QProcess> m_phones;
    std::unique_ptr<QProcess> m_adbServer;
    Options m_options;
    quint16 m_adbPort = 0;
    QStringList m_serials;
    QStringList m_udids;
    QString m_control;
    std::string m_error;
};

}  // namespace tgw::test

// AdbDeviceStream: the Android phones as the adb server itself reports them.
// It asks the running server (127.0.0.1, port ANDROID_ADB_SERVER_PORT, else
// 5037) for its version, then holds its device-tracking service open: after
// "OKAY" the server sends the whole device list at once and again on every
// change (plug, unplug, Allow, `adb connect`), each as four hex digits of
// length and the list's text in the `adb devices -l` form. It never starts a
// server; the listing's launcher does that.
//
// When the stream ends (the server killed or restarted, by this program's adb
// or another's) or cannot be had, it is asked again with a back-off of 0.25 s
// doubling to 8 s, reset once a stream is open. A server of another version
// than the last one is logged as a restart by an adb of that version. Owned
// by the device monitor; lives on the main thread.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <optional>
#include <vector>

#include "app/protocol/device_list.h"

namespace tgw::app {

class AdbDeviceStream : public QObject {
    Q_OBJECT
  public:
    explicit AdbDeviceStream(QObject* parent = nullptr);
    ~AdbDeviceStream() override;

    // Connects now, and again whenever the stream ends.
    void start();
    // A stream is open and has sent its first list.
    bool isLive() const { return m_live; }
    // The server's last list; empty while not live.
    const std::vector<DeviceInfo>& devices() const { return m_devices; }
    // The version the server gave when last asked (adb 29 gives 41).
    std::optional<int> serverVersion() const { return m_version; }

  signals:
    // Each list the server sent, the first after every (re)connect included.
    void listed();
    // The stream ended or could not be opened; retried after the back-off.
    void lost();

  private:
    enum class Step { version, tracking, streaming };
    void connectNow();
    void request(const QByteArray& service);
    void readAvailable();
    // Handles what is buffered; false when the server's bytes make no sense.
    bool consume();
    void fail(const QString& why);
    void retryLater();

    QTcpSocket m_socket;
    QTimer m_retry;
    int m_backoffMs = 250;
    Step m_step = Step::version;
    QByteArray m_buffer;
    bool m_okay = false;     // the answer's "OKAY" was read
    bool m_longForm = true;  // asking for "-l" (model names); plain when refused
    bool m_live = false;
    bool m_announcedLoss = false;
    std::vector<DeviceInfo> m_devices;
    std::optional<int> m_version;
};

}  // namespace tgw::app

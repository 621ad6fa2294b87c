// A real mosquitto broker for tests, started on a free loopback port with the
// test CA's server certificate (or plain TCP) and a password file holding the
// agent's broker credentials. Stopped by its own process id when the object goes.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace tgw::test {

class MosquittoBroker {
  public:
    struct Options {
        bool tls = true;
        QString username = "tanglow_web";
        QString password = "palmoc5829";
        QString extraConfig = {};  // further lines for mosquitto.conf
        // Further accounts, as user name and password.
        QList<QPair<QString, QString>> moreUsers = {};
        // Sessions and queued messages survive a stop() and start().
        bool persistence = false;
        // The server certificate and its key; the test CA's RSA one when empty.
        QString certFile = {};
        QString keyFile = {};
    };

    MosquittoBroker();
    explicit MosquittoBroker(Options options);
    ~MosquittoBroker();

    // Starts the broker (on the same port as before when restarted) and waits
    // until it accepts connections. False when it did not come up.
    bool start();
    // SIGTERM and wait for the process to end.
    void stop();
    // SIGKILL: the broker vanishes without closing anything.
    void kill();
    // SIGSTOP / SIGCONT: a broker that holds its connections but answers nothing.
    void freeze();
    void thaw();

    bool running() const;
    quint16 port() const { return m_port; }
    qint64 pid() const;
    static QString caFile();
    static QString otherCaFile();
    QString log() const;

  private:
    bool waitUntilListening(int timeoutMs);

    Options m_options;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    std::unique_ptr<QProcess> m_process;
};

// A loopback port nobody listens on at the moment of the call.
quint16 freeLoopbackPort();

}  // namespace tgw::test

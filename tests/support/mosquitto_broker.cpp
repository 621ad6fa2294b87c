#include "support/mosquitto_broker.h"

#include <signal.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

#include "support/wait.h"

namespace tgw::test {

quint16 freeLoopbackPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

MosquittoBroker::MosquittoBroker() : MosquittoBroker(Options{}) {}

// The port is chosen now, so that settings made before start() can name it.
MosquittoBroker::MosquittoBroker(Options options)
    : m_options(std::move(options)), m_port(freeLoopbackPort()) {}

MosquittoBroker::~MosquittoBroker() {
    thaw();
    stop();
}

QString MosquittoBroker::caFile() {
    return QStringLiteral(TGW_TEST_DATA_DIR "/ca.crt");
}
QString MosquittoBroker::otherCaFile() {
    return QStringLiteral(TGW_TEST_DATA_DIR "/other-ca.crt");
}

bool MosquittoBroker::start() {
    if (running()) return true;
    if (m_port == 0) m_port = freeLoopbackPort();
    const QString dir = m_dir.path();
    const QString passwordFile = dir + "/passwords";
    if (!QFile::exists(passwordFile)) {
        const int rc = QProcess::execute(
            "mosquitto_passwd", {"-b", "-c", passwordFile, m_options.username, m_options.password});
        if (rc != 0) return false;
        for (const auto& [user, password] : m_options.moreUsers) {
            if (QProcess::execute("mosquitto_passwd", {"-b", passwordFile, user, password}) != 0) {
                return false;
            }
        }
    }
    QFile conf(dir + "/mosquitto.conf");
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QTextStream out(&conf);
    if (geteuid() == 0) out << "user root\n";
    if (m_options.persistence) {
        out << "persistence true\n"
            << "persistence_location " << dir << "/\n";
    } else {
        out << "persistence false\n";
    }
    // Straight to the file: mosquitto buffers a redirected standard output.
    out << "log_dest file " << dir << "/broker.log\n"
        << "allow_anonymous false\n"
        << "password_file " << passwordFile << "\n"
        << "listener " << m_port << " 127.0.0.1\n"
        << "set_tcp_nodelay true\n";
    if (m_options.tls) {
        const QString data = QStringLiteral(TGW_TEST_DATA_DIR);
        out << "cafile " << data << "/ca.crt\n"
            << "certfile "
            << (m_options.certFile.isEmpty() ? data + "/server.crt" : m_options.certFile) << "\n"
            << "keyfile "
            << (m_options.keyFile.isEmpty() ? data + "/server.key" : m_options.keyFile) << "\n";
    }
    out << m_options.extraConfig << "\n";
    out.flush();
    conf.close();

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(dir + "/broker.log", QIODevice::Append);
    m_process->start("mosquitto", {"-c", dir + "/mosquitto.conf"});
    if (!m_process->waitForStarted(5000)) return false;
    return waitUntilListening(10000);
}

bool MosquittoBroker::waitUntilListening(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (!running()) return false;
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        processEventsFor(20);
    }
    return false;
}

bool MosquittoBroker::running() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 MosquittoBroker::pid() const {
    return m_process ? m_process->processId() : 0;
}

void MosquittoBroker::stop() {
    if (!running()) return;
    m_process->terminate();
    if (!m_process->waitForFinished(5000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

void MosquittoBroker::kill() {
    if (!running()) return;
    m_process->kill();
    m_process->waitForFinished(5000);
}

void MosquittoBroker::freeze() {
    if (running()) ::kill(static_cast<pid_t>(pid()), SIGSTOP);
}

void MosquittoBroker::thaw() {
    if (running()) ::kill(static_cast<pid_t>(pid()), SIGCONT);
}

QString MosquittoBroker::log() const {
    QFile f(m_dir.path() + "/broker.log");
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

}  // namespace tgw::test

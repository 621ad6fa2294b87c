#include "support/phones/simulated_phones.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTcpSocket>

#include "support/mosquitto_broker.h"
#include "support/wait.h"

namespace tgw::test {

SimulatedPhones::SimulatedPhones(Options options) : m_options(options) {
    start(options);
}

void SimulatedPhones::start(const Options& options) {
    if (!m_dir.isValid()) {
        m_error = "no temporary directory";
        return;
    }
    QStringList args = {TGW_PHONES_SCRIPT, m_dir.path(),
                        "--android",       QString::number(options.android),
                        "--iphones",       QString::number(options.iphones)};
    for (const QString& mode : options.modes) args << "--mode" << mode;
    m_phones = std::make_unique<QProcess>();
    m_phones->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_phones->start("python3", args);
    if (!m_phones->waitForReadyRead(10000)) {
        m_error = "phones.py did not start";
        return;
    }
    const QJsonObject started = QJsonDocument::fromJson(m_phones->readLine()).object();
    for (const QJsonValue port : started["android"].toArray())
        m_serials << QString("127.0.0.1:%1").arg(port.toInt());
    for (const QJsonValue udid : started["iphones"].toArray()) m_udids << udid.toString();
    m_control = started["control"].toString();

    m_adbPort = freeLoopbackPort();
    m_env.set("ANDROID_ADB_SERVER_PORT", QByteArray::number(m_adbPort));
    m_env.set("USBMUXD_SOCKET_ADDRESS", "UNIX:" + started["usbmuxd"].toString().toUtf8());
    if (!startAdbServer()) return;
    if (!waitForAdb(options)) m_error = "adb does not list the phones as expected";
}

bool SimulatedPhones::startAdbServer() {
    m_adbServer = std::make_unique<QProcess>();
    m_adbServer->setProcessChannelMode(QProcess::MergedChannels);
    m_adbServer->setStandardOutputFile(m_dir.filePath("adb-server.log"), QIODevice::Append);
    m_adbServer->start("adb", {"-P", QString::number(m_adbPort), "nodaemon", "server"});
    if (!m_adbServer->waitForStarted(5000)) {
        m_error = "adb server did not start";
        return false;
    }
    // Only a listening server may be asked: a client finding none would start
    // a server of its own that nobody stops.
    const QDeadlineTimer deadline(10000);
    bool listening = false;
    while (!listening && !deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost("127.0.0.1", m_adbPort);
        listening = probe.waitForConnected(200);
        if (!listening && m_adbServer->waitForFinished(100)) break;
    }
    if (!listening) {
        m_error =
            "adb server is not listening; see " + m_dir.filePath("adb-server.log").toStdString();
        m_dir.setAutoRemove(false);
    }
    return listening;
}

void SimulatedPhones::stopAdbServer() {
    if (m_adbServer && m_adbServer->state() != QProcess::NotRunning) {
        runTool("adb", {"kill-server"});
        if (!m_adbServer->waitForFinished(5000)) stopProcess(*m_adbServer);
    }
}

bool SimulatedPhones::restartAdbServer() {
    stopAdbServer();
    return startAdbServer() && waitForAdb(m_options, false);
}

bool SimulatedPhones::waitForAdb(const Options& options, bool asStarted) {
    for (const QString& serial : m_serials) runTool("adb", {"connect", serial});
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        const QString listing = runTool("adb", {"devices"});
        bool all = true;
        for (int i = 0; i < m_serials.size(); ++i) {
            const bool unauthorized =
                options.modes.contains(QString("android:%1:unauthorized").arg(i));
            const QString state = unauthorized ? "unauthorized" : "device";
            all = all && (listing.contains(m_serials[i] + "\t" + state) ||
                          (!asStarted && listing.contains(m_serials[i] + "\tdevice")));
        }
        if (all) return true;  // else asked again, until the deadline
    }
    return false;
}

SimulatedPhones::~SimulatedPhones() {
    stopAdbServer();
    if (m_phones) stopProcess(*m_phones);
}

QString SimulatedPhones::runTool(const QString& program, const QStringList& arguments) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    if (!tool.waitForFinished(20000)) {
        stopProcess(tool);
        return {};
    }
    return QString::fromUtf8(tool.readAll());
}

std::string SimulatedPhones::control(const std::string& request) {
    QLocalSocket socket;
    socket.connectToServer(m_control);
    if (!socket.waitForConnected(5000)) return "error: no control socket";
    socket.write(QByteArray::fromStdString(request + "\n"));
    const QDeadlineTimer deadline(5000);
    while (!socket.canReadLine() && socket.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    return socket.readLine().trimmed().toStdString();
}

}  // namespace tgw::test

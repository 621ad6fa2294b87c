#include "app/devices/device_monitor.h"

#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>

#include "app/devices/device_tool_output.h"
#include "common/diagnostics.h"
#include "process/process.h"

namespace tgw::app {

using process::Process;

namespace {

// Output kept of one tool; a listing is a few lines, anything beyond is noise.
constexpr qsizetype kMaxToolOutput = 1 << 20;

QString notInstalled(const QString& tool) {
    return tool + QStringLiteral(" is niet geïnstalleerd");
}

// The last line of a tool's output, where tools put their reason; bounded
// for the window.
QString lastLine(const QString& text) {
    const QStringList lines = text.trimmed().split(QLatin1Char('\n'));
    return lines.isEmpty() ? QString() : lines.last().trimmed().left(160);
}

// States that change without a USB event, by the phone's user or by itself.
bool waitsForUser(const DeviceInfo& d) {
    static const QStringList states = {QStringLiteral("unauthorized"),
                                       QStringLiteral("authorizing"), QStringLiteral("offline"),
                                       QStringLiteral("connecting"), QStringLiteral("unpaired")};
    return states.contains(d.state);
}

QString presenceLine(const DeviceInfo& d) {
    const QString phone = QStringLiteral("Telefoon: ");
    if (d.platform == DeviceInfo::Platform::apple) {
        if (d.state == QLatin1String("unpaired"))
            return phone + d.id +
                   QStringLiteral(" (iPhone) - vertrouw deze computer op de telefoon");
        if (d.name.isEmpty()) return phone + d.id + QStringLiteral(" (iPhone)");
        return phone + d.name + QStringLiteral(" (iPhone, ") + d.id + QLatin1Char(')');
    }
    const QString android = phone + d.id + QStringLiteral(" (Android)");
    if (d.state == QLatin1String("device")) {
        if (d.name.isEmpty()) return android;
        return phone + d.name + QStringLiteral(" (Android, ") + d.id + QLatin1Char(')');
    }
    if (d.state == QLatin1String("unauthorized"))
        return android + QStringLiteral(" - sta USB-foutopsporing toe op de telefoon");
    if (d.state == QLatin1String("no permissions"))
        return android + QStringLiteral(" - geen toegang tot USB; zie de installatie-instructies");
    if (d.state == QLatin1String("offline"))
        return android + QStringLiteral(" - niet bereikbaar (offline)");
    return android + QStringLiteral(" - ") + d.state;
}


}  // namespace

// One run of one tool: how it ended and what it printed (standard error included).
struct DeviceMonitor::ToolRun {
    enum class End { exited, notStarted, timedOut };
    End end = End::exited;
    int status = -1;
    QString output;  // for notStarted: why

    bool succeeded() const { return end == End::exited && status == 0; }
    // Why `tool` gave no answer, in the window's words.
    QString problem(const QString& tool) const {
        if (end == End::timedOut) return tool + QStringLiteral(" reageert niet");
        if (end == End::notStarted) return tool + QStringLiteral(" kan niet worden gestart");
        if (status == 127 && output.contains(QLatin1String("not installed")))
            return notInstalled(tool);
        return tool + QStringLiteral(" gaf een fout: ") + lastLine(output);
    }
};

struct DeviceMonitor::Listing {
    std::vector<Done> done;
    std::vector<DeviceInfo> android;
    std::vector<DeviceInfo> apple;
    QStringList androidProblems;
    QStringList appleProblems;
    int branchesLeft = 2;
};

DeviceMonitor::DeviceMonitor(const process::Bundle* bundle, QObject* parent)
    : QObject(parent), m_bundle(bundle) {
    m_recheck.setSingleShot(true);
    m_recheck.setInterval(3000);
    connect(&m_recheck, &QTimer::timeout, this, &DeviceMonitor::refresh);
}

DeviceMonitor::~DeviceMonitor() {
    for (const auto& weak : m_running) {
        if (const auto tool = weak.lock(); tool && tool->qprocess().state() != QProcess::NotRunning)
            tool->stop();
    }
}

void DeviceMonitor::refresh() {
    scheduleListing();
}

void DeviceMonitor::listDevices(Done done) {
    if (done) m_waiting.push_back(std::move(done));
    scheduleListing();
}

void DeviceMonitor::scheduleListing() {
    if (m_listing) {
        m_again = true;
        return;
    }
    if (m_listingQueued) return;
    m_listingQueued = true;
    // Started from the event loop: requests made in one go share the listing,
    // and `done` is never called inside listDevices.
    QTimer::singleShot(0, this, [this] {
        m_listingQueued = false;
        startListing();
    });
}

void DeviceMonitor::startListing() {
    m_recheck.stop();
    m_listing = std::make_unique<Listing>();
    m_listing->done = std::exchange(m_waiting, {});
    listAndroid();
    listApple();
}

void DeviceMonitor::listAndroid() {
    std::shared_ptr<Process> adb;
    try {
        adb = Process::initWith(QStringLiteral("adb"), m_bundle);
    } catch (const process::SlarderError& e) {
        qCWarning(lcDevices) << "cannot list Android phones:" << e.what();
        m_listing->androidProblems << QStringLiteral("adb kan niet worden gestart");
        branchDone();
        return;
    }
    runTool(adb, {QStringLiteral("devices"), QStringLiteral("-l")}, [this](const ToolRun& run) {
        if (run.succeeded()) {
            m_listing->android = parseAdbDevices(run.output);
        } else {
            qCWarning(lcDevices) << "adb devices failed:" << run.status << run.output;
            m_listing->androidProblems << run.problem(QStringLiteral("adb"));
        }
        branchDone();
    });
}

void DeviceMonitor::listApple() {
    const QString path = QStandardPaths::findExecutable(QStringLiteral("idevice_id"));
    if (path.isEmpty()) {
        m_listing->appleProblems << notInstalled(QStringLiteral("idevice_id"));
        branchDone();
        return;
    }
    auto tool = Process::create();
    tool->setLaunchPath(path);
    runTool(tool, {QStringLiteral("-l")}, [this](const ToolRun& run) {
        if (!run.succeeded()) {
            // Without an iPhone the USB multiplexer daemon is not running, and
            // the tool says it cannot get the list: that is an empty list.
            if (run.end != ToolRun::End::exited ||
                !run.output.contains(QLatin1String("Unable to retrieve device list"))) {
                qCWarning(lcDevices) << "idevice_id -l failed:" << run.status << run.output;
                m_listing->appleProblems << run.problem(QStringLiteral("idevice_id"));
            }
            branchDone();
            return;
        }
        nameIPhones(parseIdeviceIds(run.output), 0);
    });
}

// Asks each iPhone its name in turn; one that does not answer has not paired
// with (or not trusted) this computer.
void DeviceMonitor::nameIPhones(QStringList udids, qsizetype next) {
    if (next == udids.size()) {
        branchDone();
        return;
    }
    const QString path = QStandardPaths::findExecutable(QStringLiteral("ideviceinfo"));
    if (path.isEmpty()) {
        m_listing->appleProblems << notInstalled(QStringLiteral("ideviceinfo"));
        for (const QString& udid : udids.mid(next))
            m_listing->apple.push_back(
                {DeviceInfo::Platform::apple, udid, QStringLiteral("unpaired"), {}});
        branchDone();
        return;
    }
    auto tool = Process::create();
    tool->setLaunchPath(path);
    const QString udid = udids[next];
    runTool(tool, {QStringLiteral("-u"), udid, QStringLiteral("-k"), QStringLiteral("DeviceName")},
            [this, udids = std::move(udids), next, udid](const ToolRun& run) {
                if (run.succeeded()) {
                    m_listing->apple.push_back(
                        {DeviceInfo::Platform::apple, udid, QStringLiteral("paired"),
                         run.output.section(QLatin1Char('\n'), 0, 0).trimmed()});
                } else if (run.end == ToolRun::End::exited &&
                           run.output.contains(QLatin1String("not found"))) {
                    // Detached since it was listed.
                } else {
                    // Said once: an unpaired iPhone is asked again every few seconds.
                    const bool known =
                        std::any_of(m_devices.begin(), m_devices.end(), [&](const DeviceInfo& d) {
                            return d.id == udid && d.state == QLatin1String("unpaired");
                        });
                    if (known)
                        qCDebug(lcDevices) << "iPhone" << udid << "gives no name:" << run.output;
                    else
                        qCInfo(lcDevices) << "iPhone" << udid << "gives no name:" << run.output;
                    m_listing->apple.push_back(
                        {DeviceInfo::Platform::apple, udid, QStringLiteral("unpaired"), {}});
                }
                nameIPhones(udids, next + 1);
            });
}

void DeviceMonitor::branchDone() {
    if (--m_listing->branchesLeft == 0) finishListing();
}

void DeviceMonitor::finishListing() {
    const std::unique_ptr<Listing> listing = std::move(m_listing);
    m_devices = std::move(listing->android);
    m_devices.insert(m_devices.end(), listing->apple.begin(), listing->apple.end());
    m_toolProblems = listing->androidProblems + listing->appleProblems;
    m_running.clear();

    const QStringList lines = presenceLines(m_devices, m_toolProblems);
    if (lines != m_lastLines)
        qCInfo(lcDevices).noquote() << "phones:" << lines.join(QStringLiteral("; "));
    m_lastLines = lines;
    if (std::any_of(m_devices.begin(), m_devices.end(), waitsForUser)) m_recheck.start();

    QPointer<DeviceMonitor> self(this);
    emit devicesChanged(lines);
    for (const Done& done : listing->done) {
        if (!self) return;
        done(m_devices);
    }
    if (self && m_again) {
        m_again = false;
        scheduleListing();
    }
}

void DeviceMonitor::runTool(std::shared_ptr<Process> tool, QStringList arguments, ToolDone done) {
    struct Run {
        ToolRun result;
        ToolDone done;
        bool reported = false;
    };
    auto run = std::make_shared<Run>();
    run->done = std::move(done);
    QPointer<DeviceMonitor> self(this);
    // Reports once: a stopped tool's own end comes later and is dropped.
    auto report = [self, run](ToolRun::End end, int status) {
        if (run->reported || !self) return;
        run->reported = true;
        run->result.end = end;
        run->result.status = status;
        run->done(run->result);
    };

    tool->setArguments(std::move(arguments));
    m_running.push_back(tool);
    try {
        tool->sd().launchAsyncWith(
            false,
            [run](const std::string& piece, process::ProcessInput*) {
                if (run->result.output.size() < kMaxToolOutput)
                    run->result.output += QString::fromStdString(piece);
            },
            nullptr, [report](int32_t status) { report(ToolRun::End::exited, status); });
    } catch (const process::SlarderError& e) {
        qCWarning(lcDevices) << "cannot start" << tool->launchPath() << e.what();
        run->result.output = QString::fromStdString(e.description());
        report(ToolRun::End::notStarted, -1);
        return;
    }
    std::weak_ptr<Process> weak = tool;
    QTimer::singleShot(m_toolTimeLimit, this, [run, weak, report, limit = m_toolTimeLimit] {
        if (run->reported) return;
        if (const auto t = weak.lock()) {
            qCWarning(lcDevices) << t->launchPath() << "did not finish within" << limit.count()
                                 << "ms; stopped";
            t->stop();
        }
        report(ToolRun::End::timedOut, -1);
    });
}

QStringList DeviceMonitor::presenceLines(const std::vector<DeviceInfo>& devices,
                                         const QStringList& toolProblems) {
    constexpr size_t kShown = 8;
    QStringList lines;
    if (devices.empty()) lines << QStringLiteral("Geen telefoon aangesloten");
    for (size_t i = 0; i < devices.size() && i < kShown; ++i) lines << presenceLine(devices[i]);
    if (devices.size() > kShown) lines << QStringLiteral("+%1").arg(devices.size() - kShown);
    return lines + toolProblems;
}

bool isValidDeviceId(const QString& value) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._:-]{1,64}$"));
    return pattern.match(value).hasMatch();
}

}  // namespace tgw::app

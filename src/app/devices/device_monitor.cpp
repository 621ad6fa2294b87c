#include "app/devices/device_monitor.h"

#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>

#include "app/devices/adb_device_stream.h"
#include "app/devices/device_tool_output.h"
#include "app/devices/iphone_pairing.h"
#include "app/devices/usbmuxd_events.h"
#include "app/tools/tool_run.h"
#include "common/diagnostics.h"

namespace tgw::app {

namespace {

// Output kept of one tool; a listing is a few lines, anything beyond is noise.
constexpr size_t kMaxToolOutput = 1 << 20;

ToolProblem notInstalled(const QString& tool) {
    return {tool, ToolProblem::Kind::notInstalled, {}};
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

// A phone as the log names it: "Pixel 7 0123 (android, device)".
QString logLine(const DeviceInfo& d) {
    const bool apple = d.platform == DeviceInfo::Platform::apple;
    return (d.name.isEmpty() ? d.id : d.name + QLatin1Char(' ') + d.id) + QStringLiteral(" (") +
           (apple ? QStringLiteral("apple") : QStringLiteral("android")) + QStringLiteral(", ") +
           d.state + QLatin1Char(')');
}

QString logLine(const ToolProblem& p) {
    switch (p.kind) {
        case ToolProblem::Kind::notInstalled: return p.tool + QStringLiteral(" is not installed");
        case ToolProblem::Kind::cannotStart: return p.tool + QStringLiteral(" cannot be started");
        case ToolProblem::Kind::notResponding: return p.tool + QStringLiteral(" does not respond");
        case ToolProblem::Kind::failed: return p.tool + QStringLiteral(" failed: ") + p.detail;
    }
    return p.tool;
}

}  // namespace

PhoneProblem problemOf(const DeviceInfo& d) {
    if (d.platform == DeviceInfo::Platform::apple)
        return d.state == QLatin1String("unpaired") ? PhoneProblem::untrusted : PhoneProblem::none;
    if (d.state == QLatin1String("device")) return PhoneProblem::none;
    if (d.state == QLatin1String("unauthorized")) return PhoneProblem::unauthorized;
    if (d.state == QLatin1String("no permissions")) return PhoneProblem::noPermission;
    if (d.state == QLatin1String("offline")) return PhoneProblem::offline;
    return PhoneProblem::otherState;
}

// How one tool of a listing ended and what it printed (standard error included).
struct DeviceMonitor::ToolAnswer {
    ToolRun::Outcome outcome = ToolRun::Outcome::exited;
    int status = -1;
    QString output;
    std::string error;  // "error: ..." when it did not simply exit

    bool exited() const { return outcome == ToolRun::Outcome::exited; }
    bool succeeded() const { return exited() && status == 0; }
    // Why `tool` gave no answer.
    ToolProblem problem(const QString& tool) const {
        switch (outcome) {
            case ToolRun::Outcome::timedOut: return {tool, ToolProblem::Kind::notResponding, {}};
            case ToolRun::Outcome::notStarted: return {tool, ToolProblem::Kind::cannotStart, {}};
            case ToolRun::Outcome::exited:
                if (status == 127 && output.contains(QLatin1String("not installed")))
                    return notInstalled(tool);
                return {tool, ToolProblem::Kind::failed, lastLine(output)};
            default:
                // Cut: the tool's own words would be noise; say what happened.
                return {tool, ToolProblem::Kind::failed,
                        QString::fromStdString(error.substr(std::string_view("error: ").size()))};
        }
    }
};

struct DeviceMonitor::Listing {
    std::vector<Done> done;
    std::vector<DeviceInfo> android;
    std::vector<DeviceInfo> apple;
    std::vector<ToolProblem> androidProblems;
    std::vector<ToolProblem> appleProblems;
    int branchesLeft = 2;
    bool androidSkipped = false;  // the stream had them when the listing began
    // Its tools' runs; ending the listing stops what still runs.
    std::vector<std::unique_ptr<ToolRun>> runs;
};

DeviceMonitor::DeviceMonitor(const process::Bundle* bundle, QObject* parent)
    : QObject(parent), m_bundle(bundle) {
    m_recheck.setSingleShot(true);
    m_recheck.setInterval(3000);
    connect(&m_recheck, &QTimer::timeout, this, &DeviceMonitor::refresh);
    m_adbGone.setSingleShot(true);
    m_adbGone.setInterval(2000);
    connect(&m_adbGone, &QTimer::timeout, this, [this] {
        if (!androidFromStream()) refresh();
    });
}

DeviceMonitor::~DeviceMonitor() = default;

void DeviceMonitor::followToolEvents() {
    if (m_adb) return;
    m_adb = std::make_unique<AdbDeviceStream>();
    connect(m_adb.get(), &AdbDeviceStream::listed, this, &DeviceMonitor::adbListed);
    // Not listed at once: a server restarted by another adb is back within a
    // moment, and a listing now would start one of this adb's version.
    connect(m_adb.get(), &AdbDeviceStream::lost, this, [this] { m_adbGone.start(); });
    m_usbmuxd = std::make_unique<UsbmuxdEvents>();
    connect(m_usbmuxd.get(), &UsbmuxdEvents::changed, this, &DeviceMonitor::refresh);
    m_pairing = std::make_unique<IPhonePairing>([this](const QString&) { refresh(); });
    m_adb->start();
    m_usbmuxd->start();
}

bool DeviceMonitor::androidFromStream() const {
    return m_adb && m_adb->isLive();
}

void DeviceMonitor::adbListed() {
    m_adbGone.stop();
    std::vector<DeviceInfo> devices = m_adb->devices();
    for (const DeviceInfo& d : m_presence.devices)
        if (d.platform == DeviceInfo::Platform::apple) devices.push_back(d);
    // The listing's problems but adb's, which the stream answers; publish()
    // adds idevicepair's again.
    std::vector<ToolProblem> problems;
    for (const ToolProblem& p : m_presence.toolProblems)
        if (p.tool != QLatin1String("adb") && p.tool != QLatin1String("idevicepair"))
            problems.push_back(p);
    const bool adbProblem =
        std::any_of(m_presence.toolProblems.begin(), m_presence.toolProblems.end(),
                    [](const ToolProblem& p) { return p.tool == QLatin1String("adb"); });
    if (devices == m_presence.devices && !adbProblem) return;
    m_presence.devices = std::move(devices);
    m_presence.toolProblems = std::move(problems);
    publish();
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
    if (androidFromStream()) {
        m_listing->androidSkipped = true;
        branchDone();
        return;
    }
    runTool(QStringLiteral("adb"), true, {QStringLiteral("devices"), QStringLiteral("-l")},
            [this](const ToolAnswer& run) {
                // This adb replacing a server of another version says so.
                for (const QString& line : run.output.split(QLatin1Char('\n')))
                    if (line.contains(QLatin1String("doesn't match this client")))
                        qCWarning(lcDevices).noquote() << "adb:" << line.trimmed();
                if (run.succeeded()) {
                    m_listing->android = parseAdbDevices(run.output);
                } else {
                    qCWarning(lcDevices) << "adb devices failed:" << run.status << run.output;
                    m_listing->androidProblems.push_back(run.problem(QStringLiteral("adb")));
                }
                branchDone();
            });
}

void DeviceMonitor::listApple() {
    const QString tool = QStringLiteral("idevice_id");
    if (QStandardPaths::findExecutable(tool).isEmpty()) {
        m_listing->appleProblems.push_back(notInstalled(tool));
        branchDone();
        return;
    }
    runTool(tool, false, {QStringLiteral("-l")}, [this, tool](const ToolAnswer& run) {
        if (!run.succeeded()) {
            // Without an iPhone the USB multiplexer daemon is not running, and
            // the tool says it cannot get the list: that is an empty list.
            if (!run.exited() ||
                !run.output.contains(QLatin1String("Unable to retrieve device list"))) {
                qCWarning(lcDevices) << "idevice_id -l failed:" << run.status << run.output;
                m_listing->appleProblems.push_back(run.problem(tool));
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
    const QString tool = QStringLiteral("ideviceinfo");
    if (QStandardPaths::findExecutable(tool).isEmpty()) {
        m_listing->appleProblems.push_back(notInstalled(tool));
        for (const QString& udid : udids.mid(next))
            m_listing->apple.push_back(
                {DeviceInfo::Platform::apple, udid, QStringLiteral("unpaired"), {}});
        branchDone();
        return;
    }
    const QString udid = udids[next];
    runTool(tool, false,
            {QStringLiteral("-u"), udid, QStringLiteral("-k"), QStringLiteral("DeviceName")},
            [this, udids = std::move(udids), next, udid](const ToolAnswer& run) {
                if (run.succeeded()) {
                    m_listing->apple.push_back(
                        {DeviceInfo::Platform::apple, udid, QStringLiteral("paired"),
                         run.output.section(QLatin1Char('\n'), 0, 0).trimmed()});
                } else if (run.exited() && run.output.contains(QLatin1String("not found"))) {
                    // Detached since it was listed.
                } else {
                    // Said once: an unpaired iPhone is asked again every few seconds.
                    const bool known =
                        std::any_of(devices().begin(), devices().end(), [&](const DeviceInfo& d) {
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
    std::vector<DeviceInfo> android = std::move(listing->android);
    if (androidFromStream()) {
        android = m_adb->devices();
    } else if (listing->androidSkipped) {
        // The stream ended meanwhile: the phones it gave last, until it is
        // back or the listing after it asks adb.
        android.clear();
        for (const DeviceInfo& d : m_presence.devices)
            if (d.platform == DeviceInfo::Platform::android) android.push_back(d);
    }
    m_presence.devices = std::move(android);
    m_presence.devices.insert(m_presence.devices.end(), listing->apple.begin(),
                              listing->apple.end());
    m_presence.toolProblems = std::move(listing->androidProblems);
    m_presence.toolProblems.insert(m_presence.toolProblems.end(), listing->appleProblems.begin(),
                                   listing->appleProblems.end());

    QPointer<DeviceMonitor> self(this);
    publish();
    for (const Done& done : listing->done) {
        if (!self) return;
        done(m_presence.devices);
    }
    if (self && m_again) {
        m_again = false;
        scheduleListing();
    }
}

void DeviceMonitor::publish() {
    if (m_pairing) {
        m_pairing->follow(m_presence.devices);
        m_presence.pairing = m_pairing->asking();
        const bool untrusted = std::any_of(
            devices().begin(), devices().end(),
            [](const DeviceInfo& d) { return problemOf(d) == PhoneProblem::untrusted; });
        if (untrusted && !IPhonePairing::canPair())
            m_presence.toolProblems.push_back(notInstalled(QStringLiteral("idevicepair")));
    }
    QStringList parts;
    for (const DeviceInfo& d : m_presence.devices) parts << logLine(d);
    if (parts.isEmpty()) parts << QStringLiteral("none");
    for (const ToolProblem& p : m_presence.toolProblems) parts << logLine(p);
    if (const QString logged = parts.join(QStringLiteral("; ")); logged != m_logged) {
        qCInfo(lcDevices).noquote() << "phones:" << logged;
        m_logged = logged;
    }
    // The stream tells Android changes itself.
    const bool fromStream = androidFromStream();
    if (std::any_of(devices().begin(), devices().end(),
                    [&](const DeviceInfo& d) {
                        return waitsForUser(d) &&
                               (d.platform == DeviceInfo::Platform::apple || !fromStream);
                    }) &&
        !m_recheck.isActive())
        m_recheck.start();

    emit devicesChanged(m_presence);
}

void DeviceMonitor::runTool(const QString& tool, bool fromBundle, QStringList arguments,
                            ToolDone done) {
    ToolRun::Job job;
    if (fromBundle) {
        job.resource = tool;
        job.bundle = m_bundle;
    } else {
        // Taken from PATH directly: the listing needs the exit status and the
        // whole output, not an end marker.
        job.launchPath = QStandardPaths::findExecutable(tool);
    }
    job.arguments = std::move(arguments);
    job.tool = tool.toStdString();
    job.timeLimit = m_toolTimeLimit;
    job.outputCap = kMaxToolOutput;
    ToolRun::Handlers handlers;
    handlers.result = [done = std::move(done)](ToolRun::Result result) {
        ToolAnswer answer{result.outcome, result.status, {}, std::move(result.error)};
        answer.output = QString::fromStdString(result.output);
        done(answer);
    };
    m_listing->runs.push_back(std::make_unique<ToolRun>(std::move(job), std::move(handlers)));
    m_listing->runs.back()->start();
}

bool isValidDeviceId(const QString& value) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._:-]{1,64}$"));
    return pattern.match(value).hasMatch();
}

}  // namespace tgw::app

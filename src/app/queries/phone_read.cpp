#include "app/queries/phone_read.h"

#include "app/devices/device_monitor.h"
#include "app/identity/android_readers.h"
#include "app/identity/apple_readers.h"
#include "app/identity/imei_reader.h"

namespace tgw::app {

namespace {

constexpr const char* kAndroidMembers[] = {"model", "manufacturer", "os_version", "serial_number"};
constexpr const char* kBatteryMembers[] = {
    "level_percent",       "health_percent",           "cycle_count",
    "design_capacity_mah", "full_charge_capacity_mah", "charging"};

// A failed run's error in words, for `unread`.
QString reasonOf(const ToolRun::Result& result) {
    QString text = QString::fromStdString(result.error);
    if (text.startsWith(QLatin1String("error: "))) text.remove(0, 7);
    return text;
}

// A run after which the phone is not asked any more: the tool is missing or hangs.
bool endsTheRead(const ToolRun::Result& result) {
    return result.outcome == ToolRun::Outcome::notStarted ||
           result.outcome == ToolRun::Outcome::timedOut;
}

void markUnread(PhoneIdentity& identity, std::initializer_list<const char*> members,
                const QString& reason) {
    for (const char* m : members) identity.unread.insert(QLatin1String(m), reason);
}

// The battery as not read at all, for `reason`.
void batteryUnread(PhoneIdentity& identity, const QString& reason) {
    identity.battery = {};
    for (const char* m : kBatteryMembers) identity.unread.remove(QLatin1String(m));
    identity.unread.insert(QStringLiteral("battery"), reason);
}

}  // namespace

std::optional<QString> notReadyReason(const DeviceInfo& phone) {
    switch (problemOf(phone)) {
        case PhoneProblem::none: return std::nullopt;
        case PhoneProblem::unauthorized:
            return QStringLiteral("USB debugging is not yet allowed on the phone");
        case PhoneProblem::noPermission:
            return QStringLiteral("this computer's user may not open the phone's USB device");
        case PhoneProblem::offline: return QStringLiteral("adb cannot reach the phone (offline)");
        case PhoneProblem::untrusted:
            return QStringLiteral("the iPhone has not trusted this computer");
        case PhoneProblem::otherState:
            return QStringLiteral("the phone is in state \"%1\"").arg(phone.state);
    }
    return std::nullopt;
}

PhoneRead::PhoneRead(const DeviceInfo& phone, const Limits& limits, const process::Bundle* bundle,
                     Done done)
    : m_phone(phone), m_limits(limits), m_bundle(bundle), m_done(std::move(done)) {
    const bool apple = phone.platform == DeviceInfo::Platform::apple;
    m_identity.platform = apple ? PhoneIdentity::Platform::apple : PhoneIdentity::Platform::android;
    m_identity.id = phone.id;
    m_identity.state = phone.state;
    m_step = apple ? Step::appleInfo : Step::properties;
}

PhoneRead::~PhoneRead() = default;

void PhoneRead::start() {
    if (const std::optional<QString> reason = notReadyReason(m_phone)) {
        markUnread(m_identity,
                   {"model", "manufacturer", "os_version", "serial_number", "imei", "battery"},
                   *reason);
        finish();
        return;
    }
    if (m_step == Step::appleInfo)
        run(QStringLiteral("run.sh"), {appleLine("ideviceinfo", QStringLiteral("-x"))},
            "ideviceinfo", MarkerSet::apple);
    else
        run(QStringLiteral("adb"), adbShell({QStringLiteral("getprop")}), "adb",
            MarkerSet::android);
}

QStringList PhoneRead::adbShell(QStringList words) const {
    // The marker follows whatever the command's status: a refused call still answers.
    return QStringList{QStringLiteral("-s"), m_phone.id, QStringLiteral("shell")} + words +
           QStringList{QStringLiteral("; echo \"<DONE>\";")};
}

QString PhoneRead::appleLine(const char* tool, const QString& rest) const {
    return QStringLiteral("/usr/local/bin/%1 -u %2 %3").arg(QLatin1String(tool), m_phone.id, rest);
}

void PhoneRead::run(const QString& resource, QStringList arguments, const char* tool,
                    MarkerSet marker) {
    ToolRun::Job job{resource,
                       m_bundle,
                       {},
                       std::move(arguments),
                       tool,
                       marker,
                       m_limits.toolTimeLimit,
                       m_limits.toolOutputCap};
    ToolRun::Handlers handlers;
    handlers.result = [this](ToolRun::Result result) {
        m_result = std::move(result);
        toolDone();
    };
    handlers.ended = [this](int32_t, const std::string&) { toolDone(); };
    m_result.reset();
    m_run = std::make_unique<ToolRun>(std::move(job), std::move(handlers));
    m_run->start();
}

void PhoneRead::toolDone() {
    // The next tool starts once this one has given its result and ended, so a
    // phone never has two of its tools running at once.
    if (!m_result || !m_run->isOver() || m_step == Step::finished) return;
    ToolRun::Result result = std::move(*m_result);
    m_result.reset();
    next(std::move(result));
}

void PhoneRead::next(ToolRun::Result result) {
    const bool whole = result.outcome == ToolRun::Outcome::completed;
    const QString text = QString::fromUtf8(result.output.data(), qsizetype(result.output.size()));
    const QString failure = reasonOf(result);
    switch (m_step) {
        case Step::properties: {
            readAndroidProperties(text, m_identity);
            const QMap<QString, QString> props = parseGetprop(text);
            if (!whole) {
                for (const char* m : kAndroidMembers) {
                    if (m_identity.unread.contains(QLatin1String(m)))
                        m_identity.unread.insert(QLatin1String(m), failure);
                }
            }
            if (endsTheRead(result) || props.isEmpty()) {
                // A phone that tells no properties answers nothing else either.
                const QString why =
                    whole ? m_identity.unread.value(QStringLiteral("model")) : failure;
                markUnread(m_identity, {"imei", "battery"}, why);
                finish();
                return;
            }
            m_imei = std::make_unique<ImeiQuery>(sdkLevel(props), simSlots(props));
            m_step = Step::imei;
            break;
        }
        case Step::imei:
            if (whole) {
                m_imei->took(text);
            } else {
                m_imei->fill(m_identity);
                if (m_identity.imei.isEmpty()) markUnread(m_identity, {"imei"}, failure);
                if (endsTheRead(result)) {
                    markUnread(m_identity, {"battery"}, failure);
                    finish();
                    return;
                }
                m_step = Step::androidBattery;
            }
            break;
        case Step::androidBattery:
            readAndroidBattery(text, m_identity);
            if (!whole) batteryUnread(m_identity, failure);
            finish();
            return;
        case Step::appleInfo:
            readAppleInfo(text, m_identity);
            if (!whole) {
                m_identity.manufacturer.reset();
                m_identity.imei.clear();
                markUnread(m_identity,
                           {"model", "manufacturer", "os_version", "serial_number", "imei"},
                           failure);
            }
            if (endsTheRead(result)) {
                markUnread(m_identity, {"battery"}, failure);
                finish();
                return;
            }
            m_step = Step::appleBattery;
            run(QStringLiteral("run.sh"),
                {appleLine("idevicediagnostics", QStringLiteral("ioregentry AppleSmartBattery"))},
                "idevicediagnostics", MarkerSet::apple);
            return;
        case Step::appleBattery:
            readAppleBattery(text, m_identity);
            if (!whole) batteryUnread(m_identity, failure);
            finish();
            return;
        case Step::finished: return;
    }
    // Android: the next IMEI call, else the battery.
    if (m_step == Step::imei) {
        if (const std::optional<QStringList> call = m_imei->nextCommand()) {
            run(QStringLiteral("adb"), adbShell(*call), "adb", MarkerSet::android);
            return;
        }
        m_imei->fill(m_identity);
        m_step = Step::androidBattery;
    }
    run(QStringLiteral("adb"), adbShell({QStringLiteral("dumpsys"), QStringLiteral("battery")}),
        "adb", MarkerSet::android);
}

void PhoneRead::finish() {
    m_step = Step::finished;
    // `done` may destroy this.
    Done done = std::move(m_done);
    done(std::move(m_identity));
}

}  // namespace tgw::app

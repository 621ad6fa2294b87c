#include "app/devices/iphone_pairing.h"

#include <QStandardPaths>

#include "app/tools/tool_run.h"
#include "common/diagnostics.h"

namespace tgw::app {

struct IPhonePairing::Phone {
    std::unique_ptr<ToolRun> run;
    QTimer again;
    QString lastAnswer;  // logged when it changes, not every 3 s
};

IPhonePairing::IPhonePairing(std::function<void(const QString&)> paired)
    : m_paired(std::move(paired)) {}

IPhonePairing::~IPhonePairing() = default;

bool IPhonePairing::canPair() {
    return !QStandardPaths::findExecutable(QStringLiteral("idevicepair")).isEmpty();
}

QStringList IPhonePairing::asking() const {
    return m_order;
}

void IPhonePairing::follow(const std::vector<DeviceInfo>& devices) {
    QStringList unpaired;
    if (canPair()) {
        for (const DeviceInfo& d : devices)
            if (d.platform == DeviceInfo::Platform::apple && d.state == QLatin1String("unpaired"))
                unpaired << d.id;
    }
    for (auto it = m_phones.begin(); it != m_phones.end();) {
        if (unpaired.contains(it->first)) {
            ++it;
        } else {
            qCInfo(lcDevices).noquote() << "no longer asking iPhone" << it->first << "to pair";
            it = m_phones.erase(it);
        }
    }
    m_order = unpaired;
    for (const QString& udid : unpaired) {
        if (m_phones.count(udid)) continue;
        auto phone = std::make_unique<Phone>();
        phone->again.setSingleShot(true);
        QObject::connect(&phone->again, &QTimer::timeout, &phone->again,
                         [this, udid] { ask(udid); });
        m_phones.emplace(udid, std::move(phone));
        qCInfo(lcDevices).noquote() << "asking iPhone" << udid << "to trust this computer";
        ask(udid);
    }
}

void IPhonePairing::ask(const QString& udid) {
    Phone* phone = m_phones.at(udid).get();
    ToolRun::Job job;
    job.launchPath = QStandardPaths::findExecutable(QStringLiteral("idevicepair"));
    job.arguments = {QStringLiteral("pair"), QStringLiteral("-u"), udid};
    job.tool = "idevicepair";
    job.timeLimit = std::chrono::seconds(20);
    job.outputCap = 64 << 10;
    ToolRun::Handlers handlers;
    handlers.result = [this, phone, udid](ToolRun::Result result) {
        const QString answer =
            QString::fromStdString(result.error.empty() ? result.output : result.error).trimmed();
        if (result.outcome == ToolRun::Outcome::exited && result.status == 0 &&
            answer.contains(QLatin1String("SUCCESS"))) {
            qCInfo(lcDevices).noquote() << "iPhone" << udid << "paired with this computer";
            // Asked again should the listing still find it unpaired.
            m_phones.erase(udid);
            m_order.removeAll(udid);
            m_paired(udid);
            return;
        }
        if (answer != phone->lastAnswer)
            qCInfo(lcDevices).noquote() << "iPhone" << udid << "not paired yet:" << answer;
        phone->lastAnswer = answer;
        phone->again.start(m_interval);
    };
    phone->run = std::make_unique<ToolRun>(std::move(job), std::move(handlers));
    phone->run->start();
}

}  // namespace tgw::app

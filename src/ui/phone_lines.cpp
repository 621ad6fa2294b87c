#include "ui/phone_lines.h"

namespace tgw::ui {

using app::DeviceInfo;
using app::PhoneProblem;
using app::ToolProblem;

namespace {

// Where the instructions are, on a machine that has the agent installed.
const QString kSeeInstructions =
    QStringLiteral("zie de installatie-instructies (man tgw-mobile-tool)");

// `asked`: the agent is asking the phone to pair, so its trust question is on screen.
QString phoneLine(const DeviceInfo& d, bool asked) {
    const QString phone = QStringLiteral("Telefoon: ");
    const PhoneProblem problem = app::problemOf(d);
    if (d.platform == DeviceInfo::Platform::apple) {
        if (problem == PhoneProblem::untrusted && asked)
            return phone + d.id + QStringLiteral(" (iPhone) - Tik op Vertrouwen op de iPhone");
        if (problem == PhoneProblem::untrusted)
            return phone + d.id +
                   QStringLiteral(" (iPhone) - vertrouw deze computer op de telefoon");
        if (d.name.isEmpty()) return phone + d.id + QStringLiteral(" (iPhone)");
        return phone + d.name + QStringLiteral(" (iPhone, ") + d.id + QLatin1Char(')');
    }
    const QString android = phone + d.id + QStringLiteral(" (Android)");
    switch (problem) {
        case PhoneProblem::none:
            if (d.name.isEmpty()) return android;
            return phone + d.name + QStringLiteral(" (Android, ") + d.id + QLatin1Char(')');
        case PhoneProblem::unauthorized:
            return android + QStringLiteral(" - sta USB-foutopsporing toe op de telefoon");
        case PhoneProblem::noPermission:
            return android + QStringLiteral(" - geen toegang tot USB; ") + kSeeInstructions;
        case PhoneProblem::offline: return android + QStringLiteral(" - niet bereikbaar (offline)");
        case PhoneProblem::untrusted:
        case PhoneProblem::otherState: break;
    }
    return android + QStringLiteral(" - ") + d.state;
}

QString toolLine(const ToolProblem& p) {
    switch (p.kind) {
        case ToolProblem::Kind::notInstalled:
            return p.tool + QStringLiteral(" is niet geïnstalleerd");
        case ToolProblem::Kind::cannotStart:
            return p.tool + QStringLiteral(" kan niet worden gestart");
        case ToolProblem::Kind::notResponding: return p.tool + QStringLiteral(" reageert niet");
        case ToolProblem::Kind::failed:
            return p.tool + QStringLiteral(" gaf een fout: ") + p.detail;
    }
    return p.tool;
}

}  // namespace

QStringList presenceLines(const app::DevicePresence& presence) {
    constexpr size_t kShown = 8;
    const std::vector<DeviceInfo>& devices = presence.devices;
    QStringList lines;
    if (devices.empty()) lines << QStringLiteral("Geen telefoon aangesloten");
    for (size_t i = 0; i < devices.size() && i < kShown; ++i)
        lines << phoneLine(devices[i], presence.pairing.contains(devices[i].id));
    if (devices.size() > kShown) lines << QStringLiteral("+%1").arg(devices.size() - kShown);
    for (const ToolProblem& p : presence.toolProblems) lines << toolLine(p);
    return lines;
}

}  // namespace tgw::ui

#include "process/internal/group_records.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "common/diagnostics.h"
#include "process/internal/running_launch.h"

namespace tgw::process {

namespace {

// What /proc/<pid>/stat tells of a process.
struct ProcessStat {
    pid_t pid = 0;
    pid_t group = 0;
    pid_t session = 0;
    qulonglong startTime = 0;  // clock ticks since boot
};

std::optional<ProcessStat> statOf(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray text = file.readAll();
    // The name in parentheses may hold blanks and parentheses itself.
    const qsizetype nameEnd = text.lastIndexOf(')');
    if (nameEnd < 0) return std::nullopt;
    // From the state on: process group 2, session 3, start time 19.
    const QList<QByteArray> fields = text.mid(nameEnd + 2).split(' ');
    if (fields.size() < 20) return std::nullopt;
    bool ok[3] = {};
    ProcessStat s{pid, fields[2].toInt(&ok[0]), fields[3].toInt(&ok[1]),
                  fields[19].toULongLong(&ok[2])};
    if (!(ok[0] && ok[1] && ok[2])) return std::nullopt;
    return s;
}

// Every process that can be seen, by process group.
std::map<pid_t, std::vector<ProcessStat>> processesByGroup() {
    std::map<pid_t, std::vector<ProcessStat>> groups;
    for (const QString& name : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = name.toInt(&isPid);
        if (!isPid) continue;
        if (const auto s = statOf(pid)) groups[s->group].push_back(*s);
    }
    return groups;
}

const QByteArray& bootId() {
    static const QByteArray id = [] {
        QFile file("/proc/sys/kernel/random/boot_id");
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    }();
    return id;
}

// Where the notes go; none until endLeftBehindGroups names it. Main thread only.
QString& noteFolder() {
    static QString folder;
    return folder;
}

// This run as a note names it: process id and start time.
const QByteArray& thisRun() {
    static const QByteArray run = [] {
        const auto self = statOf(::getpid());
        return self ? QByteArray::number(self->pid) + ' ' + QByteArray::number(self->startTime)
                    : QByteArray();
    }();
    return run;
}

// Whether the run named `pid` and `startTime` still runs (a second instance,
// when the single-instance lock could not be used).
bool stillRuns(const QByteArray& pid, const QByteArray& startTime) {
    const auto run = statOf(pid.toInt());
    return run && QByteArray::number(run->startTime) == startTime;
}

QString notePath(pid_t group) {
    return noteFolder() + "/launch-" + QString::number(group);
}

// Now, in the clock ticks since boot that /proc/<pid>/stat counts start times
// in, rounded down: a process whose start time is below it started before now.
qulonglong ticksSinceBoot() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto tick = static_cast<qulonglong>(::sysconf(_SC_CLK_TCK));
    return static_cast<qulonglong>(now.tv_sec) * tick +
           static_cast<qulonglong>(now.tv_nsec) * tick / 1'000'000'000ULL;
}

// The noted groups of this run, with their first process's start time.
std::map<pid_t, qulonglong>& notedGroups() {
    static std::map<pid_t, qulonglong> groups;
    return groups;
}

constexpr int kAliveBeatMs = 2000;

// (Re)writes the note of `group` with this moment as the last one the run was
// seen alive at, while the group's first process is still the one noted (a
// zombie holds its id too): its id cannot have gone to another group yet.
void writeNote(pid_t group, qulonglong startTime) {
    const auto leader = statOf(group);
    if (!leader || leader->startTime != startTime) return;
    QFile note(notePath(group));
    if (note.open(QIODevice::WriteOnly | QIODevice::Truncate))
        note.write(QByteArray::number(startTime) + ' ' + bootId() + ' ' + thisRun() + ' ' +
                   QByteArray::number(ticksSinceBoot()) + '\n');
}

// Keeps the notes' "seen alive at" fresh while any group is noted.
void beatWhileNoted() {
    static QPointer<QTimer> timer;
    if (!timer && QCoreApplication::instance()) {
        timer = new QTimer(QCoreApplication::instance());
        timer->setInterval(kAliveBeatMs);
        QObject::connect(timer, &QTimer::timeout, [] {
            for (const auto& [group, startTime] : notedGroups()) writeNote(group, startTime);
        });
    }
    if (!timer) return;
    if (notedGroups().empty())
        timer->stop();
    else if (!timer->isActive())
        timer->start();
}

// Whether `members` are still the group noted as started at `startTime`: each
// in the session the launch made, none older than its first process, that
// first process, if still there, the one that was started; and the group still
// the noted one: its first process is there, or one of its members started
// before the noting run was last seen alive (`aliveAt`). A group id cannot go
// to another group while one member of the old one lives, so a group whose
// members all started later may be an unrelated program's (a double-forked
// daemon in a reused id) and is left alone.
bool stillTheNotedGroup(pid_t group, qulonglong startTime, qulonglong aliveAt,
                        const std::vector<ProcessStat>& members) {
    const bool fits = std::all_of(members.begin(), members.end(), [&](const ProcessStat& m) {
        return m.session == group && m.startTime >= startTime &&
               (m.pid != group || m.startTime == startTime);
    });
    const bool same = std::any_of(members.begin(), members.end(), [&](const ProcessStat& m) {
        return m.pid == group || m.startTime < aliveAt;
    });
    return fits && same;
}

}  // namespace

void noteGroup(pid_t group) {
    if (noteFolder().isEmpty() || bootId().isEmpty() || thisRun().isEmpty()) return;
    const auto leader = statOf(group);
    if (!leader) return;  // already reaped: nothing to note it by
    notedGroups()[group] = leader->startTime;
    writeNote(group, leader->startTime);
    beatWhileNoted();
}

void forgetGroup(pid_t group) {
    if (noteFolder().isEmpty()) return;
    QFile::remove(notePath(group));
    notedGroups().erase(group);
    beatWhileNoted();
}

int endLeftBehindGroups(const QString& folder) {
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    noteFolder() = folder;
    const QStringList notes = QDir(folder).entryList({"launch-*"}, QDir::Files);
    if (notes.isEmpty()) return 0;
    const auto groups = processesByGroup();
    int ended = 0;
    for (const QString& name : notes) {
        QFile note(folder + "/" + name);
        const QList<QByteArray> fields = note.open(QIODevice::ReadOnly)
                                             ? note.readAll().trimmed().split(' ')
                                             : QList<QByteArray>();
        note.close();
        const bool thisBoot = fields.size() == 5 && fields[1] == bootId();
        if (thisBoot && stillRuns(fields[2], fields[3]))
            continue;  // the note of a run that is still there
        note.remove();
        bool ok[3] = {};
        const pid_t group = name.mid(7).toInt(&ok[0]);
        const qulonglong startTime = fields.value(0).toULongLong(&ok[1]);
        const qulonglong aliveAt = fields.value(4).toULongLong(&ok[2]);
        if (!ok[0] || !ok[1] || !ok[2] || !thisBoot || group <= 1 || group == ::getpgrp())
            continue;
        const auto members = groups.find(group);
        if (members == groups.end() ||
            !stillTheNotedGroup(group, startTime, aliveAt, members->second))
            continue;
        signalGroup(group, SIGKILL);
        ++ended;
        qCWarning(lcTools) << "ended" << members->second.size()
                           << "processes that a killed run left behind in group" << group;
    }
    return ended;
}

}  // namespace tgw::process

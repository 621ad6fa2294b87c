// A fleet of agents after a broker outage: N connection owners in one process
// (the real session, TLS and back-off; no window, no tools), each with its own
// client id and the built-in broker account, against a local mosquitto over
// TLS. All connect, the broker is stopped, kept away for the outage and
// started again; every connection attempt is recorded.
//
//   tgw-fleet run AGENTS OUTAGE_SECONDS [doubling|proportional [CERT KEY]]
//   tgw-fleet handshakes AGENTS [CERT KEY]
//   tgw-fleet cluster AGENTS OUTAGE_SECONDS doubling|proportional CA PORT_A PORT_B STOP START
//   tgw-fleet simulate AGENTS
//
// `run` prints one row. The first connect of the whole fleet against a fresh
// broker gives the TLS handshakes the broker completes per CPU second (its
// own CPU time, read from /proc); `handshakes` stops there. CERT and KEY are
// the broker's server certificate (signed by the test CA) and key. `simulate`
// prints the policy alone for outages from 2 s to 10 min. `cluster` spreads
// the agents over two running brokers (trusting the CA file CA) and restarts
// the second one with the shell commands STOP and START; only the agents that
// lost it count.
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/broker/broker_link.h"
#include "app/config/config.h"
#include "support/mosquitto_broker.h"
#include "support/proc_status.h"
#include "support/quiet_stdout.h"
#include "support/reconnect_simulation.h"
#include "support/wait.h"

using namespace tgw;
using std::chrono::milliseconds;

namespace {

using test::QuietStdout;

// Our clock, in ms since the program started.
QElapsedTimer g_clock;

struct Agent : app::BrokerLink::Listener {
    std::unique_ptr<app::BrokerLink> link;
    std::vector<qint64> attempts;
    qint64 connectedAt = -1;  // the latest time the command topic was subscribed
    qint64 lostAt = -1;       // the latest time that connection ended
    void connectionStateChanged(app::ConnectionState state) override {
        if (state == app::ConnectionState::connected) {
            connectedAt = g_clock.elapsed();
        } else if (connectedAt > lostAt) {
            lostAt = g_clock.elapsed();
        }
    }
    bool back() const { return connectedAt > lostAt; }
    void commandArrived(const std::string&, const std::string&) override {}
};

// CPU seconds a process has used.
double cpuSeconds(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(f);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The brokers the fleet connects to, and the one that goes away and comes back.
struct Target {
    std::string name;
    QString caFile;
    std::vector<uint16_t> ports;  // the agents are spread over them in turn
    std::function<bool()> stop, start;
    std::function<qint64()> pid;  // of the broker whose CPU time is measured; 0 for none
};

int run(const Target& target, int agents, int outageS, app::Backoff backoff) {
    app::Config config = app::Config::builtIn();
    config.brokerHost = "localhost";
    config.caFile = target.caFile;
    app::BrokerSettings settings = app::BrokerSettings::from(config);
    settings.delays.backoff = backoff;
    const app::BrokerLink::ClientFactory sessions = app::BrokerLink::sessionFactory(config);

    const long rssBefore = test::procStatus("VmRSS:");
    std::vector<std::unique_ptr<Agent>> fleet;
    for (int i = 0; i < agents; ++i) {
        auto agent = std::make_unique<Agent>();
        Agent* a = agent.get();
        settings.port = target.ports[static_cast<size_t>(i) % target.ports.size()];
        agent->link = std::make_unique<app::BrokerLink>(
            settings,
            [a, &sessions](const std::string& id, const std::string& host, uint16_t port,
                           mqtt::MqttDelegate& delegate) {
                a->attempts.push_back(g_clock.elapsed());
                return sessions(id, host, port, delegate);
            },
            *agent);
        fleet.push_back(std::move(agent));
    }
    auto connected = [&] {
        return std::count_if(fleet.begin(), fleet.end(), [](const auto& a) {
            return a->link->state() == app::ConnectionState::connected;
        });
    };

    // The whole fleet at once against a fresh broker: the handshake rate.
    const qint64 brokerPid = target.pid();
    const double brokerCpuStart = brokerPid ? cpuSeconds(brokerPid) : 0;
    const qint64 firstStart = g_clock.elapsed();
    for (int i = 0; i < agents; ++i) fleet[i]->link->start("fleet-" + std::to_string(i));
    if (!test::waitUntil([&] { return connected() == agents; }, 180'000)) {
        std::fprintf(stderr, "only %ld of %d agents connected at first\n", connected(), agents);
        return 1;
    }
    const double firstSeconds = static_cast<double>(g_clock.elapsed() - firstStart) / 1000;
    const double brokerCpu = brokerPid ? cpuSeconds(brokerPid) - brokerCpuStart : 0;
    size_t firstAttempts = 0;
    for (const auto& a : fleet) firstAttempts += a->attempts.size();
    test::processEventsFor(2000);
    const long rssPerAgent = (test::procStatus("VmRSS:") - rssBefore) / agents;
    if (outageS == 0) {
        std::fprintf(stderr,
                     "handshakes %s  agents %5d: %zu attempts in %.1f s (%.0f/s), broker CPU "
                     "%.2f s: %.0f handshakes per broker CPU second; RSS/agent %ld KB\n",
                     target.name.c_str(), agents, firstAttempts, firstSeconds,
                     agents / firstSeconds, brokerCpu, brokerCpu > 0 ? agents / brokerCpu : 0.0,
                     rssPerAgent);
        fleet.clear();
        return 0;
    }

    // The outage.
    const qint64 lost = g_clock.elapsed();
    if (!target.stop()) return 2;
    test::processEventsFor(static_cast<int>(outageS * 1000 - (g_clock.elapsed() - lost)));
    if (!target.start()) return 2;
    const qint64 back = g_clock.elapsed();
    const bool all = test::waitUntil(
        [&] {
            return std::all_of(fleet.begin(), fleet.end(), [&](const auto& a) {
                return a->back() && a->link->state() == app::ConnectionState::connected;
            });
        },
        outageS * 1000 + 120'000);

    // Only the agents that lost their broker count.
    std::vector<qint64> returned;
    std::map<qint64, int> perSecond;
    long attemptsAfter = 0;
    int affected = 0;
    for (const auto& a : fleet) {
        if (a->lostAt <= lost) continue;
        ++affected;
        if (a->back()) returned.push_back(std::max<qint64>(0, a->connectedAt - back));
        for (qint64 t : a->attempts) {
            if (t <= lost) continue;
            ++attemptsAfter;
            if (t >= back) ++perSecond[(t - back) / 1000];
        }
    }
    std::sort(returned.begin(), returned.end());
    int busiest = 0;
    for (const auto& [second, count] : perSecond) busiest = std::max(busiest, count);
    const auto at = [&](size_t n) {
        return n <= returned.size() ? static_cast<double>(returned[n - 1]) / 1000 : -1.0;
    };
    std::fprintf(stderr,
                 "fleet %-12s %-10s agents %5d  outage %3d s  lost %5d  busiest second %4d  half "
                 "%6.1f s  all %6.1f s  failed %6ld  stuck %4d  RSS/agent %4ld KB  | first "
                 "connect %zu attempts in %.1f s, broker CPU %.2f s\n",
                 backoff == app::Backoff::doubling ? "doubling" : "proportional",
                 target.name.c_str(), agents, outageS, affected, busiest,
                 at(static_cast<size_t>(affected + 1) / 2),
                 all ? at(static_cast<size_t>(affected)) : -1.0,
                 attemptsAfter - static_cast<long>(returned.size()),
                 affected - static_cast<int>(returned.size()), rssPerAgent, firstAttempts,
                 firstSeconds, brokerCpu);
    fleet.clear();
    return all ? 0 : 1;
}

void simulate(int agents) {
    app::ReconnectDelays doubling;
    doubling.backoff = app::Backoff::doubling;
    std::fprintf(stderr,
                 "simulated fleet of %d agents, broker away for: busiest second after it is "
                 "back / half back / all back (s) / attempts while away\n",
                 agents);
    std::fprintf(stderr, "%8s  %-30s  %-30s\n", "outage", "doubling (today)", "proportional");
    for (int outage : {2, 5, 10, 30, 60, 120, 300, 600}) {
        std::string cells;
        for (const app::ReconnectDelays& d : {doubling, app::ReconnectDelays{}}) {
            const auto o = test::simulateOutage(d, agents, milliseconds(outage * 1000), 21);
            char cell[64];
            std::snprintf(cell, sizeof cell, "%5d / %5.1f / %5.1f / %7ld", o.busiestSecond,
                          static_cast<double>(o.half.count()) / 1000,
                          static_cast<double>(o.all.count()) / 1000, o.failed);
            cells += std::string(cell) + "  ";
        }
        std::fprintf(stderr, "%6d s  %s\n", outage, cells.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QLoggingCategory::setFilterRules("*=false");
    g_clock.start();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) args.emplace_back();
    const auto backoff = [&](size_t at) {
        return args.size() > at && args[at] == "doubling" ? app::Backoff::doubling
                                                          : app::Backoff::proportional;
    };
    if ((args[0] == "run" && args.size() >= 3) || (args[0] == "handshakes" && args.size() >= 2)) {
        const bool handshakes = args[0] == "handshakes";
        const size_t certAt = handshakes ? 2 : 4;
        test::MosquittoBroker::Options options;
        options.extraConfig = "max_connections -1\n";
        if (args.size() >= certAt + 2) {
            options.certFile = QString::fromStdString(args[certAt]);
            options.keyFile = QString::fromStdString(args[certAt + 1]);
        }
        test::MosquittoBroker broker(options);
        if (!broker.start()) {
            std::fprintf(stderr, "mosquitto did not start: %s\n", qPrintable(broker.log()));
            return 2;
        }
        const Target target{options.certFile.isEmpty()
                                ? "mosquitto"
                                : QFileInfo(options.certFile).fileName().toStdString(),
                            test::MosquittoBroker::caFile(),
                            {broker.port()},
                            [&] {
                                broker.stop();
                                return true;
                            },
                            [&] { return broker.start(); },
                            [&] { return broker.pid(); }};
        QuietStdout quiet;
        return run(target, std::stoi(args[1]), handshakes ? 0 : std::stoi(args[2]), backoff(3));
    }
    if (args[0] == "cluster" && args.size() >= 9) {
        const auto shell = [](const std::string& command) {
            return QProcess::execute("sh", {"-c", QString::fromStdString(command)}) == 0;
        };
        const Target target{
            "cluster",
            QString::fromStdString(args[4]),
            {static_cast<uint16_t>(std::stoi(args[5])), static_cast<uint16_t>(std::stoi(args[6]))},
            [&] { return shell(args[7]); },
            [&] { return shell(args[8]); },
            [] { return qint64{0}; }};
        QuietStdout quiet;
        return run(target, std::stoi(args[1]), std::stoi(args[2]), backoff(3));
    }
    if (args[0] == "simulate" && args.size() >= 2) {
        simulate(std::stoi(args[1]));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: tgw-fleet run AGENTS OUTAGE_SECONDS [doubling|proportional [CERT KEY]] "
                 "| handshakes AGENTS [CERT KEY] | cluster AGENTS OUTAGE_SECONDS "
                 "doubling|proportional CA PORT_A PORT_B STOP START | simulate AGENTS\n");
    return 2;
}

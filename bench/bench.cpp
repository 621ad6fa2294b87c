// Benchmarks of the agent against the clients an engineer would pick instead,
// each measured in the same run against its own mosquitto on loopback (plain
// TCP: the broker, not TLS, is the common ground; the round trips are also
// measured over TLS, as the agent runs). Rounds alternate ours and the peer;
// the table shows the medians, the median of the rounds' ratios and their
// range. Ratios are ours/peer for throughput and peer/ours for latency, so
// higher is better in both.
//
//   tgw-bench throughput | latency [tls] | collection MB | query N | idle SECONDS
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>

#include "app/app_delegate.h"
#include "mqtt/session.h"
#include "peers.h"
#include "support/fake_client.h"
#include "support/login_stub.h"
#include "support/mosquitto_broker.h"
#include "support/proc_status.h"
#include "support/quiet_stdout.h"
#include "support/wait.h"
#include "ui/view_controller.h"

using namespace tgw;
using bench::MosquittoPeer;
using bench::PahoPeer;

namespace {

using test::QuietStdout;

constexpr int kRounds = 5;
const std::string kPayload(100, 'x');

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// One figure: the medians of ours and the peer over the rounds, and the
// median, lowest and highest of the rounds' own ratios (the spread on a noisy machine).
void row(const char* figure, const std::vector<double>& ours, const std::vector<double>& peer,
         const char* unit, bool higherIsBetter, const char* peerName) {
    std::vector<double> ratios;
    for (size_t i = 0; i < std::min(ours.size(), peer.size()); ++i) {
        ratios.push_back(higherIsBetter ? ours[i] / peer[i] : peer[i] / ours[i]);
    }
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("| %-44s | %12.1f | %12.1f | %-6s | %-12s | %5.2f | %5.2f-%-5.2f |\n", figure,
                median(ours), median(peer), unit, peerName, median(ratios), *low, *high);
    std::fflush(stdout);
}

void header() {
    std::printf("| %-44s | %12s | %12s | %-6s | %-12s | %5s | %-11s |\n", "figure", "ours", "peer",
                "unit", "peer", "ratio", "min-max");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(),
                std::string(14, '-').c_str(), std::string(14, '-').c_str(),
                std::string(8, '-').c_str(), std::string(14, '-').c_str(),
                std::string(7, '-').c_str(), std::string(13, '-').c_str());
}

test::MosquittoBroker::Options plainBroker() {
    test::MosquittoBroker::Options o;
    o.tls = false;
    o.extraConfig = "max_queued_messages 0\nmax_inflight_messages 20\n";
    return o;
}

// Our client, connected and counting what it is told.
class Ours : public mqtt::MqttDelegate {
  public:
    Ours(const std::string& id, int port) : session(id, "127.0.0.1", static_cast<uint16_t>(port)) {
        session.setDelegate(this);
        session.setUsername(app::AppDelegate::kUsername);
        session.setPassword(app::AppDelegate::kPassword);
        session.connect();
        test::waitUntil([&] { return connected; }, 10000);
    }
    void didConnectAck(mqtt::MqttClient&, mqtt::MqttConnAck a) override {
        connected = a == mqtt::MqttConnAck::accepted;
    }
    void didPublishMessage(mqtt::MqttClient&, const std::string&, uint16_t) override {}
    void didPublishAck(mqtt::MqttClient&, uint16_t) override { ++acks; }
    void didReceiveMessage(mqtt::MqttClient&, const mqtt::MqttMessage&, uint16_t) override {
        ++received;
    }
    void didSubscribeTopic(mqtt::MqttClient&, const std::string&) override { subscribed = true; }
    void didUnsubscribeTopic(mqtt::MqttClient&, const std::string&) override {}
    void didPing(mqtt::MqttClient&) override {}
    void didReceivePong(mqtt::MqttClient&) override {}
    void didDisconnect(mqtt::MqttClient&, const std::optional<mqtt::MqttError>&) override {}

    mqtt::MqttSession session;
    bool connected = false;
    bool subscribed = false;
    long acks = 0;
    long received = 0;
};

// ---- publish throughput ----------------------------------------------------

double oursPublish(int port, int n, mqtt::MqttQos qos) {
    Ours c("ours-pub", port);
    QElapsedTimer t;
    t.start();
    if (qos == mqtt::MqttQos::qos0) {
        for (int i = 0; i < n; ++i) c.session.publish("bench/pub", kPayload, qos);
        c.session.publish("bench/pub", "end", mqtt::MqttQos::qos1);  // its PUBACK follows all
        test::waitUntil([&] { return c.acks == 1; }, 120000);
    } else {
        int sent = 0;
        while (c.acks < n) {
            // At most ten unacknowledged at once: the window every peer gets here.
            while (sent < n && c.session.outboundStatus().inFlightCount() < 10) {
                c.session.publish("bench/pub", kPayload, qos);
                ++sent;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    return n / (t.nsecsElapsed() / 1e9);
}

// Publishes n messages through a peer client and waits until all are done;
// at QoS 0 a last QoS 1 message marks when the broker has taken them all.
template <typename Peer>
double peerPublish(Peer& c, int n, int qos) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) c.publish("bench/pub", kPayload, qos);
    long expected = n;
    if (qos == 0) {
        c.publish("bench/pub", "end", 1);
        ++expected;
    }
    c.published.waitFor(expected);
    return n / (t.nsecsElapsed() / 1e9);
}

double mosquittoPublish(int port, int n, int qos) {
    MosquittoPeer c("mosq-pub", port, 10);
    return peerPublish(c, n, qos);
}

double pahoPublish(int port, int n, int qos) {
    PahoPeer c("paho-pub", port, 10, n + 10);
    return peerPublish(c, n, qos);
}

// ---- receive throughput ----------------------------------------------------

double oursReceive(int port, int n) {
    Ours c("ours-sub", port);
    c.session.subscribe("bench/rx", mqtt::MqttQos::qos1);
    test::waitUntil([&] { return c.subscribed; });
    MosquittoPeer publisher("rx-pub", port, 20);
    QElapsedTimer t;
    t.start();
    std::thread feeder([&] {
        for (int i = 0; i < n; ++i) publisher.publish("bench/rx", kPayload, 1);
    });
    while (c.received < n) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double rate = n / (t.nsecsElapsed() / 1e9);
    feeder.join();
    return rate;
}

double mosquittoReceive(int port, int n) {
    MosquittoPeer c("mosq-sub", port, 10);
    c.subscribe("bench/rx");
    MosquittoPeer publisher("rx-pub", port, 20);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) publisher.publish("bench/rx", kPayload, 1);
    c.received.waitFor(n);
    return n / (t.nsecsElapsed() / 1e9);
}

void throughput() {
    test::MosquittoBroker broker(plainBroker());
    if (!broker.start()) std::exit(2);
    const int port = broker.port();
    header();
    struct Figure {
        const char* name;
        int n;
        int qos;
    };
    for (const Figure f : {Figure{"publish QoS 0, 100 B (200,000 msgs)", 200000, 0},
                           Figure{"publish QoS 1, 100 B (50,000 msgs)", 50000, 1}}) {
        std::vector<double> ours, mosq, paho;
        // Paho C's asynchronous client manages only tens of QoS 1 messages a
        // second here with a window of ten; it gets 1,000 so a run stays short.
        const int pahoCount = f.qos == 1 ? 1000 : f.n;
        for (int r = 0; r < kRounds; ++r) {
            ours.push_back(oursPublish(port, f.n, static_cast<mqtt::MqttQos>(f.qos)));
            mosq.push_back(mosquittoPublish(port, f.n, f.qos));
            paho.push_back(pahoPublish(port, pahoCount, f.qos));
        }
        row(f.name, ours, mosq, "msg/s", true, "libmosquitto");
        row(f.name, ours, paho, "msg/s", true, f.qos == 1 ? "Paho (1,000)" : "Paho C");
    }
    std::vector<double> ours, mosq;
    for (int r = 0; r < kRounds; ++r) {
        ours.push_back(oursReceive(port, 50000));
        mosq.push_back(mosquittoReceive(port, 50000));
    }
    row("receive QoS 1, 100 B (50,000 msgs)", ours, mosq, "msg/s", true, "libmosquitto");
}

// ---- command round trips ---------------------------------------------------

// The web service's stand-in: sends a command, waits for `answers` replies.
std::vector<double> roundTrips(MosquittoPeer& web, const char* command, int answers, int rounds,
                               const std::function<void()>& spin) {
    std::vector<double> micros;
    std::atomic<bool> done = false;
    std::thread driver([&] {
        for (int i = 0; i < rounds; ++i) {
            const long before = web.received.value();
            QElapsedTimer t;
            t.start();
            web.publish("tg/b/tool", command, 1);
            web.received.waitFor(before + answers, std::chrono::seconds(30));
            micros.push_back(t.nsecsElapsed() / 1e3);
        }
        done = true;
    });
    while (!done) spin();
    driver.join();
    return micros;
}

// The built-in settings pointed at a broker on this machine.
app::Config agentConfig(const char* host, uint16_t port) {
    app::Config config = app::Config::builtIn();
    config.brokerHost = host;
    config.brokerPort = port;
    config.caFile = test::MosquittoBroker::caFile();
    return config;
}

app::AppDelegate::Options agentOptions(const process::Bundle* tools,
                                       app::BrokerLink::ClientFactory factory = {}) {
    return {std::move(factory), tools, {}, app::AppDelegate::kKeepAlive};
}

std::unique_ptr<mqtt::MqttClient> plainSession(const std::string& id, const std::string& host,
                                               uint16_t port, mqtt::MqttDelegate& delegate) {
    auto s = std::make_unique<mqtt::MqttSession>(id, host, port);
    s->setDelegate(&delegate);
    return s;
}

void latency(bool tls) {
    test::MosquittoBroker::Options options = plainBroker();
    options.tls = tls;
    test::MosquittoBroker broker(options);
    if (!broker.start()) std::exit(2);
    // Over TLS the broker's certificate names localhost.
    const char* host = tls ? "localhost" : "127.0.0.1";
    const app::Config config = agentConfig(host, broker.port());
    const std::string caFile = tls ? test::MosquittoBroker::caFile().toStdString() : "";
    const process::Bundle tools(TGW_BENCH_TOOLS);
    header();

    MosquittoPeer web("web", broker.port(), 10, host, caFile);
    web.subscribe("tg/b/tool/web");
    auto spinQt = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); };
    auto idle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };

    std::vector<double> oursP50, oursP99, peerP50, peerP99, queryP50;
    for (int r = 0; r < kRounds; ++r) {
        {
            QuietStdout quiet;
            app::AppDelegate agent(
                config,
                agentOptions(&tools, tls ? app::BrokerLink::ClientFactory{} : plainSession));
            agent.start("b");
            test::waitUntil([&] { return agent.state() == app::ConnectionState::connected; },
                            10000);
            const auto rtt = roundTrips(web, R"({"type":"sync"})", 1, 2000, spinQt);
            oursP50.push_back(percentile(rtt, 0.5));
            oursP99.push_back(percentile(rtt, 0.99));
            const auto query = roundTrips(web, R"({"type":"android"})", 2, 100, spinQt);
            queryP50.push_back(percentile(query, 0.5));
        }
        {
            MosquittoPeer echo("echo", broker.port(), 10, host, caFile);
            echo.onMessage = [](MosquittoPeer& self, const std::string&, const std::string&) {
                self.publish("tg/b/tool/web", std::string(app::kSyncReply), 1);
            };
            echo.subscribe("tg/b/tool");
            const auto rtt = roundTrips(web, R"({"type":"sync"})", 1, 2000, idle);
            peerP50.push_back(percentile(rtt, 0.5));
            peerP99.push_back(percentile(rtt, 0.99));
        }
    }
    const std::string over = tls ? ", TLS" : "";
    row(("sync round trip p50 (2,000 commands" + over + ")").c_str(), oursP50, peerP50, "us", false,
        "libmosquitto");
    row(("sync round trip p99 (2,000 commands" + over + ")").c_str(), oursP99, peerP99, "us", false,
        "libmosquitto");
    std::printf("| %-44s | %12.1f | %12s | %-6s | %-12s | %5s |\n",
                "android query round trip p50 (fake adb)", median(queryP50) / 1000, "-", "ms", "-",
                "-");
}

// ---- collection --------------------------------------------------------------

// CPU time of this process alone (its threads, not the tools it starts).
double ownCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void collection(int megabytes) {
    const process::Bundle tools(TGW_BENCH_TOOLS);
    qputenv("FAKE_ADB_MODE", "big");
    qputenv("FAKE_ADB_BYTES", QByteArray::number(static_cast<qint64>(megabytes) * 1024 * 1024));
    test::FakeClient* client = nullptr;
    const app::Config config = app::Config::builtIn();
    app::AppDelegate agent(
        config, agentOptions(&tools, [&](const std::string& id, const std::string& h, uint16_t p,
                                         mqtt::MqttDelegate&) {
            auto c = std::make_unique<test::FakeClient>(id, h, p);
            client = c.get();
            return c;
        }));
    agent.start("b");
    // Results are held until the broker has the subscription: the stand-in says it has.
    agent.link().didConnectAck(*client, mqtt::MqttConnAck::accepted);
    agent.link().didSubscribeTopic(*client, app::commandTopic("b"));
    const long before = test::procStatus("VmRSS:");
    const double cpuBefore = ownCpuSeconds();
    QElapsedTimer t;
    {
        QuietStdout quiet;
        t.start();
        agent.commands().handle("b", R"({"type":"android"})");
        // The broker's stand-in acknowledges each result as it goes out.
        size_t acked = 0;
        test::waitUntil(
            [&] {
                while (acked < client->published.size()) {
                    agent.link().didPublishAck(*client, static_cast<uint16_t>(4 + acked++));
                }
                return client->published.size() == 2;
            },
            600000);
    }
    const double seconds = t.nsecsElapsed() / 1e9;
    const double cpu = ownCpuSeconds() - cpuBefore;
    // Two queries, each writing this much; each collects at most the output cap.
    const double cap = static_cast<double>(config.limits.toolOutputCap) / (1024 * 1024);
    const double total = 2.0 * std::min<double>(megabytes, cap);
    // The wall clock includes the tools' own work; the agent's CPU time is its cost alone.
    std::printf(
        "collection %4d MB x 2 queries: %7.1f MB/s, %6.2f ms/MB, peak RSS %ld MB (%ld MB before); "
        "agent CPU %.2f ms/MB (%.0f MB/s), peak RSS growth %.1fx the %.0f MB kept\n",
        megabytes, total / seconds, seconds * 1000 / total, test::procStatus("VmHWM:") / 1024,
        before / 1024, cpu * 1000 / total, total / cpu,
        static_cast<double>(test::procStatus("VmHWM:") - before) / 1024 / total, total);
}

// ---- query overhead ----------------------------------------------------------

// The stand-in run as a caller would without the agent: both tools of an
// "android" query at once, each read to its end. Microseconds.
double directAndroidQuery(const std::string& adb) {
    static const std::vector<std::vector<std::string>> kRuns = {
        {"adb", "shell", "getprop", "&& echo \"<DONE>\";"},
        {"adb", "shell", "service", "call", "iphonesubinfo", "1", "&& echo \"<DONE>\";"}};
    QElapsedTimer t;
    t.start();
    std::vector<std::pair<pid_t, int>> running;
    for (const auto& args : kRuns) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) std::exit(2);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, adb.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            std::exit(2);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        running.emplace_back(pid, out[0]);
    }
    for (const auto& [pid, fd] : running) {
        char buf[4096];
        while (read(fd, buf, sizeof buf) > 0) {
        }
        close(fd);
        waitpid(pid, nullptr, 0);
    }
    return t.nsecsElapsed() / 1e3;
}

// The agent's own share of an "android" query: its round trip from the web
// stand-in's command to both results, against running the stand-in directly,
// alternating, over loopback to a plain-TCP broker. The sync round trip is
// the broker hop any command pays.
void queryOverhead(int n) {
    test::MosquittoBroker broker(plainBroker());
    if (!broker.start()) std::exit(2);
    const process::Bundle tools(TGW_BENCH_TOOLS);
    const std::string adb = std::string(TGW_BENCH_TOOLS) + "/adb";
    MosquittoPeer web("web", broker.port(), 10);
    web.subscribe("tg/b/tool/web");

    std::vector<double> viaAgent, direct, added, sync;
    QuietStdout quiet;
    // The one place the agent is driven: started for account "b", then told
    // commands on its command topic by the web stand-in.
    app::AppDelegate agent(agentConfig("127.0.0.1", broker.port()),
                           agentOptions(&tools, plainSession));
    agent.start("b");
    test::waitUntil([&] { return agent.state() == app::ConnectionState::connected; }, 10000);
    QEventLoop loop;
    std::thread driver([&] {
        auto roundTrip = [&](const char* command, int answers) {
            const long before = web.received.value();
            QElapsedTimer t;
            t.start();
            web.publish("tg/b/tool", command, 1);
            web.received.waitFor(before + answers, std::chrono::seconds(30));
            return t.nsecsElapsed() / 1e3;
        };
        for (int i = 0; i < 10; ++i) roundTrip(R"({"type":"android"})", 2);  // warm up
        for (int i = 0; i < n; ++i) {
            viaAgent.push_back(roundTrip(R"({"type":"android"})", 2));
            direct.push_back(directAndroidQuery(adb));
            added.push_back(viaAgent.back() - direct.back());
            sync.push_back(roundTrip(R"({"type":"sync"})", 1));
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    driver.join();
    std::fprintf(stderr,
                 "query overhead, %d android queries (p50 / p99, ms): through the agent %.2f / "
                 "%.2f, stand-in directly %.2f / %.2f, added by the agent %.2f / %.2f (sync "
                 "round trip %.2f / %.2f)\n",
                 n, percentile(viaAgent, 0.5) / 1000, percentile(viaAgent, 0.99) / 1000,
                 percentile(direct, 0.5) / 1000, percentile(direct, 0.99) / 1000,
                 percentile(added, 0.5) / 1000, percentile(added, 0.99) / 1000,
                 percentile(sync, 0.5) / 1000, percentile(sync, 0.99) / 1000);
}

// ---- idle cost -------------------------------------------------------------

struct Usage {
    double cpuSeconds;
    long switches;
};

Usage usage() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {(utime + stime) / ticks, test::procStatus("voluntary_ctxt_switches:") +
                                         test::procStatus("nonvoluntary_ctxt_switches:")};
}

void idleCost(int seconds) {
    test::MosquittoBroker broker;  // TLS, as the agent runs
    if (!broker.start()) std::exit(2);
    test::LoginStub login;
    login.replyBody = R"({"success": 1, "prefix": "idle"})";
    login.listen();
    app::Config config = agentConfig("localhost", broker.port());
    config.webUrl = login.url();
    QuietStdout quiet;
    app::AppDelegate agent(config);
    ui::ViewController window(agent);
    window.show();
    window.emailField()->setText("tech@example.com");
    window.passwordField()->setText("pw");
    window.connectButtonClicked();  // logs in as a technician would
    test::waitUntil([&] { return agent.state() == app::ConnectionState::connected; }, 10000);
    const Usage start = usage();
    test::processEventsFor(seconds * 1000);
    const Usage end = usage();
    std::fprintf(stderr,
                 "idle %d s, logged in, keep-alive 60: CPU %.3f s (%.3f s/min), %ld wake-ups "
                 "(context switches), RSS %ld MB\n",
                 seconds, end.cpuSeconds - start.cpuSeconds,
                 (end.cpuSeconds - start.cpuSeconds) * 60 / seconds, end.switches - start.switches,
                 test::procStatus("VmRSS:") / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "throughput") {
        throughput();
    } else if (mode == "ours-qos0" && argc > 2) {  // for profiling our publish path alone
        test::MosquittoBroker broker(plainBroker());
        if (!broker.start()) return 2;
        std::printf("%.0f msg/s\n",
                    oursPublish(broker.port(), std::atoi(argv[2]), mqtt::MqttQos::qos0));
    } else if (mode == "latency") {
        latency(argc > 2 && std::string(argv[2]) == "tls");
    } else if (mode == "collection" && argc > 2) {
        collection(std::atoi(argv[2]));
    } else if (mode == "query" && argc > 2) {
        queryOverhead(std::atoi(argv[2]));
    } else if (mode == "idle" && argc > 2) {
        idleCost(std::atoi(argv[2]));
    } else {
        std::fprintf(
            stderr,
            "usage: tgw-bench throughput | latency | collection MB | query N | idle SECONDS\n");
        return 2;
    }
    return 0;
}

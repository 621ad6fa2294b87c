// The configuration's layers and its refusals, and the options that need no
// display, through the real program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "deploy/agent_sandbox.h"
#include "support/mosquitto_broker.h"

namespace tgw::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// "key = value  (origin)" lines of --print-config, by key.
std::map<QString, QString> printedConfig(const QString& out) {
    std::map<QString, QString> lines;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        lines[line.section(" = ", 0, 0)] = line.section(" = ", 1);
    }
    return lines;
}

struct PrecedenceCase {
    const char* name;
    QStringList arguments;
    std::map<QString, QString> environment;
    std::map<QString, QString>
        expected;  // key -> "value  (origin)", origin with @SYS@/@USER@/@OTHER@
};

TEST(ConfigTest, LaterLayersWinAndEachValueNamesItsOrigin) {
    const QString ca = MosquittoBroker::caFile();
    const std::vector<PrecedenceCase> cases{
        {"every layer",
         {"--log-level", "debug"},
         {{"TGW_BROKER_PORT", "1003"}, {"TGW_CA_FILE", ca}},
         {{"broker/host", "sys.example  (@SYS@)"},
          {"broker/port", "1003  (environment TGW_BROKER_PORT)"},
          {"broker/ca_file", ca + "  (environment TGW_CA_FILE)"},
          {"broker/username", "tech  (@USER@)"},
          {"broker/password", "********  (@USER@)"},
          {"web/url", "https://user.example  (@USER@)"},
          {"log/level", "debug  (option --log-level)"},
          {"limits/max_packet", "2097152  (@SYS@)"},
          {"limits/tool_time_limit", "45  (@USER@)"},
          {"limits/concurrent_queries", "4  (built-in default)"}}},
        {"--config instead of the user's file",
         {"--config", "@OTHER@"},
         {},
         {{"broker/port", "1004  (@OTHER@)"},
          {"web/url", "https://sys.example  (@SYS@)"},
          {"broker/username", "tanglow_web  (built-in default)"},
          {"log/level", "warning  (@SYS@)"}}},
    };
    for (const PrecedenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        AgentSandbox sandbox;
        const QString other = sandbox.path("other.conf");
        AgentSandbox::write(
            sandbox.systemFile(),
            "[broker]\nhost=sys.example\nport=1001\n[web]\nurl=https://sys.example\n"
            "[log]\nlevel=warning\n[limits]\nmax_packet=2M\n");
        AgentSandbox::write(sandbox.userFile(),
                            "[broker]\nport=1002\nusername=tech\npassword=s3cret\n"
                            "[web]\nurl=https://user.example/\n[limits]\ntool_time_limit=45\n");
        AgentSandbox::write(other, "[broker]\nport=1004\n");
        for (const auto& [name, value] : c.environment) sandbox.env.insert(name, value);
        QStringList arguments = c.arguments;
        arguments.replaceInStrings("@OTHER@", other);

        const AgentRun run = sandbox.run(arguments + QStringList{"--print-config"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_THAT(run.out.toStdString(), Not(HasSubstr("s3cret")));
        const auto printed = printedConfig(run.out);
        for (auto [key, expected] : c.expected) {
            expected.replace("@SYS@", sandbox.systemFile())
                .replace("@USER@", sandbox.userFile())
                .replace("@OTHER@", other);
            ASSERT_TRUE(printed.count(key)) << key.toStdString();
            EXPECT_EQ(printed.at(key), expected) << key.toStdString();
        }
    }
}

struct InvalidCase {
    const char* layer;  // "system", "user", "env NAME", "option"
    QString text;       // file contents, variable value, or the option's arguments
    QString expected;   // the error after "tgw-mobile-tool: "; @FILE@ for the file
};

// Run with no display: a start that got past the configuration would abort in
// the window system, so exit status 2 also shows it stopped before any window.
TEST(ConfigTest, AnUnusableValueStopsTheStartWithOneLine) {
    const std::vector<InvalidCase> cases{
        {"system", "[broker]\nport=0", "@FILE@: broker/port = \"0\": not a port number (1-65535)"},
        {"user", "[broker]\nport=65536",
         "@FILE@: broker/port = \"65536\": not a port number (1-65535)"},
        {"env TGW_BROKER_PORT", "88a3",
         "environment TGW_BROKER_PORT: broker/port = \"88a3\": not a port number (1-65535)"},
        {"user", "[web]\nurl=http://web.example",
         "@FILE@: web/url = \"http://web.example\": not an https:// address"},
        {"env TGW_WEB_URL", "https://",
         "environment TGW_WEB_URL: web/url = \"https://\": not an https:// address"},
        {"user", "[broker]\nca_file=/nonexistent/ca.pem",
         "@FILE@: broker/ca_file = \"/nonexistent/ca.pem\": cannot be read (No such file or "
         "directory)"},
        {"user", "[broker]\nca_file=" TGW_TEST_DATA_DIR "/make-certs",
         "@FILE@: broker/ca_file = \"" TGW_TEST_DATA_DIR "/make-certs\": holds no PEM certificate"},
        {"system", "[broker]\nhost=", "@FILE@: broker/host = \"\": not a host name or address"},
        {"user", "[limits]\nlogin_timeout=-5",
         "@FILE@: limits/login_timeout = \"-5\": not a whole number of seconds from 1 to 86400"},
        {"user", "[limits]\nmax_packet=lots",
         "@FILE@: limits/max_packet = \"lots\": a size in bytes (suffix K, M or G allowed) from "
         "1024 to 268435456"},
        {"user", "[limits]\noutbound_bytes=5G",
         "@FILE@: limits/outbound_bytes = \"5G\": a size in bytes (suffix K, M or G allowed) from "
         "65536 to 4294967296"},
        {"user", "[limits]\noutbound_bytes=64K",
         "@FILE@: limits/outbound_bytes = \"65536\": cannot hold one result of "
         "limits/tool_output_cap (16777216 bytes); at least 16842752 is needed"},
        {"user", "[limits]\ntool_output_cap=1G",
         "@FILE@: limits/tool_output_cap = \"1G\": a size in bytes (suffix K, M or G allowed) from "
         "1024 to 44728319"},
        {"user", "[limits]\nconcurrent_queries=0",
         "@FILE@: limits/concurrent_queries = \"0\": not a whole number from 1 to 64"},
        {"user", "[log]\nlevel=verbose",
         "@FILE@: log/level = \"verbose\": not one of debug, info, warning, error"},
        {"option", "--log-level loud",
         "option --log-level: log/level = \"loud\": not one of debug, info, warning, error"},
        {"system", "# a comment\n[broker]\nport=8883",
         "@FILE@: not an INI file (comments start with \";\", not \"#\")"},
        {"option", "--config @FILE@", "@FILE@: no such file"},
        {"option", "--colour", "Unknown option 'colour'. (see --help)"},
    };
    for (const InvalidCase& c : cases) {
        SCOPED_TRACE(std::string(c.layer) + " " + c.text.toStdString());
        AgentSandbox sandbox;
        const QString layer = c.layer;
        QString file = layer == "system" ? sandbox.systemFile() : sandbox.userFile();
        QStringList arguments;
        if (layer == "system" || layer == "user") {
            AgentSandbox::write(file, c.text);
        } else if (layer.startsWith("env ")) {
            sandbox.env.insert(layer.mid(4), c.text);
        } else {
            file = sandbox.path("missing.conf");
            arguments = QString(c.text).replace("@FILE@", file).split(' ');
        }
        const AgentRun run = sandbox.run(arguments);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err,
                  "tgw-mobile-tool: " + QString(c.expected).replace("@FILE@", file) + "\n");
    }
}

// With no display at all, and with an X display nobody serves (one whose
// session ended), where Qt itself would abort.
TEST(CommandLineTest, WithoutADisplayTheAgentSaysSoInOneLine) {
    for (const char* display : {"", ":4711"}) {
        AgentSandbox sandbox;  // no WAYLAND_DISPLAY or QT_QPA_PLATFORM
        if (*display) sandbox.env.insert("DISPLAY", display);
        const AgentRun run = sandbox.run({});
        EXPECT_FALSE(run.crashed) << display;
        EXPECT_EQ(run.exitCode, 2) << display;
        EXPECT_TRUE(run.err.startsWith("tgw-mobile-tool: no display: ")) << run.err.toStdString();
        EXPECT_EQ(run.err.count('\n'), 1) << display;
    }
}

TEST(CommandLineTest, HelpAndVersionNeedNoDisplay) {
    AgentSandbox sandbox;  // no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM
    const AgentRun help = sandbox.run({"--help"});
    EXPECT_FALSE(help.crashed);
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--config <FILE>", "--log-level <LEVEL>", "--print-config",
                               "--hidden", "--version", "/etc/tgw-mobile-tool/agent.conf"}) {
        EXPECT_THAT(help.out.toStdString(), HasSubstr(option));
    }
    const AgentRun version = sandbox.run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out,
              QString("tgw-mobile-tool " TGW_PROJECT_VERSION " (Qt %1)\n").arg(qVersion()));
}

}  // namespace
}  // namespace tgw::test

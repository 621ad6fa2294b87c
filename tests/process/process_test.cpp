// The runner with real child processes: stream wiring, pieces, exit statuses,
// start failures, the input pipe, the shipped launchers and bounded memory.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "process/process.h"
#include "support/proc_status.h"
#include "support/wait.h"

using namespace tgw::process;
using tgw::test::waitUntil;

namespace {

const Bundle& testBundle() {
    static const Bundle bundle(TGW_TEST_PROCESS_RESOURCES);
    return bundle;
}
const Bundle& shippedBundle() {
    static const Bundle bundle(TGW_BUILD_RESOURCES);
    return bundle;
}

// Everything one launch reported.
struct Outcome {
    std::vector<std::string> output;
    std::vector<std::string> errors;
    std::vector<int32_t> statuses;
    std::string joined() const {
        std::string s;
        for (const auto& p : output) s += p;
        return s;
    }
    bool ended() const { return !statuses.empty(); }
};

std::shared_ptr<Outcome> launch(const std::shared_ptr<Process>& p, bool withOutput = true,
                                bool withErrors = false) {
    auto outcome = std::make_shared<Outcome>();
    OutputHandler out;
    ErrorputHandler err;
    if (withOutput)
        out = [outcome](const std::string& s, ProcessInput*) { outcome->output.push_back(s); };
    if (withErrors) err = [outcome](const std::string& s) { outcome->errors.push_back(s); };
    p->sd().launchAsyncWith(false, out, err,
                            [outcome](int32_t status) { outcome->statuses.push_back(status); });
    return outcome;
}

std::shared_ptr<Outcome> run(const QString& name, QStringList args = {}, bool withOutput = true,
                             bool withErrors = false, const Bundle& bundle = testBundle()) {
    auto p = Process::initWith(name, &bundle);
    p->setArguments(std::move(args));
    auto outcome = launch(p, withOutput, withErrors);
    EXPECT_TRUE(waitUntil([&] { return outcome->ended(); }, 20000)) << name.toStdString();
    return outcome;
}

}  // namespace

TEST(ProcessLookup, MissingResourceNamesTheBundle) {
    const Bundle empty(QDir::tempPath() + "/no-such-resources-folder");
    try {
        Process::initWith("adb", &empty);
        FAIL() << "no error";
    } catch (const SlarderError& e) {
        EXPECT_EQ(e.kind(), SlarderError::Kind::ScriptNotFound);
        EXPECT_EQ(e.description(), "adb Not Found in Bundle");
    }
    EXPECT_THROW(Process::initWith("../resources/exit3.sh", &testBundle()), SlarderError);
}

TEST(ProcessStreams, ErrorsJoinTheOutputUnlessTheyHaveTheirOwnHandler) {
    const auto merged = run("out_and_err.sh");
    EXPECT_NE(merged->joined().find("out\n"), std::string::npos);
    EXPECT_NE(merged->joined().find("err\n"), std::string::npos);

    const auto separate = run("out_and_err.sh", {}, true, true);
    EXPECT_EQ(separate->joined(), "out\n");
    ASSERT_EQ(separate->errors.size(), 1u);
    EXPECT_EQ(separate->errors[0], "err\n");
    EXPECT_EQ(separate->statuses, std::vector<int32_t>{0});
}

TEST(ProcessStatus, ExitCodesAndSignals) {
    const auto quiet = run("exit3.sh");
    EXPECT_TRUE(quiet->output.empty());
    EXPECT_EQ(quiet->statuses, std::vector<int32_t>{3});

    const auto noHandlers = run("out_and_err.sh", {}, false, false);
    EXPECT_EQ(noHandlers->statuses, std::vector<int32_t>{0});

    const auto killed = run("killed.sh");
    EXPECT_EQ(killed->statuses, std::vector<int32_t>{128 + 15});  // SIGTERM
}

TEST(ProcessText, CharacterCutByAReadIsCompletedAndInvalidBytesAreNamed) {
    const auto split = run("split_utf8.sh");
    EXPECT_EQ(split->joined(), "caf\xC3\xA9\n");
    ASSERT_GE(split->output.size(), 2u);  // two reads, the cut character held back
    EXPECT_EQ(split->output[0], "caf");

    const auto invalid = run("invalid_utf8.sh");
    EXPECT_EQ(invalid->output, std::vector<std::string>{"output is not UTF8 String"});
}

TEST(ProcessInputPipe, OutputHandlerCanAnswerTheProcess) {
    auto p = Process::initWith("echo_input.sh", &testBundle());
    std::string all;
    bool ended = false;
    p->sd().launchAsyncWith(
        false,
        [&](const std::string& piece, ProcessInput* input) {
            all += piece;
            if (piece.find("ready") != std::string::npos) {
                ASSERT_NE(input, nullptr);
                EXPECT_TRUE(input->write("hello\n"));
            }
        },
        nullptr, [&](int32_t) { ended = true; });
    ASSERT_TRUE(waitUntil([&] { return ended; }));
    EXPECT_EQ(all, "ready\ngot:hello\n");
}

TEST(ProcessStart, ProgramsThatCannotStartAreReportedAndCallNothing) {
    for (const char* name : {"not_executable.sh", "bad_interpreter.sh"}) {
        auto p = Process::initWith(name, &testBundle());
        bool called = false;
        try {
            p->sd().launchAsyncWith(
                false, [&](const std::string&, ProcessInput*) { called = true; }, nullptr,
                [&](int32_t) { called = true; });
            FAIL() << name << " started";
        } catch (const SlarderError& e) {
            EXPECT_EQ(e.kind(), SlarderError::Kind::LaunchFailed);
            EXPECT_EQ(e.description().rfind(std::string(name) + " could not be started: ", 0), 0u)
                << e.description();
        }
        tgw::test::processEventsFor(100);
        EXPECT_FALSE(called);
    }
}

TEST(ProcessBlocking, LaunchWithDeliversOnePieceOfEachStreamAtOnce) {
    auto p = Process::initWith("print_args.sh", &testBundle());
    p->setArguments({"x"});
    std::string piece;
    ProcessInput* input = reinterpret_cast<ProcessInput*>(1);
    int32_t status = -1;
    p->sd().launchWith(
        false,
        [&](const std::string& s, ProcessInput* in) {
            piece = s;
            input = in;
        },
        nullptr, [&](int32_t s) { status = s; });
    EXPECT_EQ(piece, "arg:x\n");
    EXPECT_EQ(input, nullptr);
    ASSERT_TRUE(waitUntil([&] { return status == 0; }));
}

TEST(ShippedRunScript, RunsTheCommandLineWordByWordWithoutAShell) {
    QTemporaryDir dir;
    const QString marker = dir.filePath("created");
    const auto fallback =
        run("run.sh", {"/no/such/dir/echo hello  world"}, true, false, shippedBundle());
    EXPECT_EQ(fallback->joined(), "hello world\n<DO>\n");

    const QString hostile = "/bin/echo a;touch " + marker + " $(touch " + marker + ") * >" + marker;
    const auto literal = run("run.sh", {hostile}, true, false, shippedBundle());
    EXPECT_EQ(
        literal->joined(),
        ("a;touch " + marker + " $(touch " + marker + ") * >" + marker + "\n<DO>\n").toStdString());
    EXPECT_FALSE(QFile::exists(marker));

    const auto missing = run("run.sh", {"/no/such/tool-xyz -x"}, true, false, shippedBundle());
    EXPECT_NE(missing->joined().find("error: tool-xyz is not installed"), std::string::npos);
    EXPECT_NE(missing->statuses.front(), 0);

    const auto noArgument = run("run.sh", {}, true, false, shippedBundle());
    EXPECT_NE(noArgument->joined().find("error: "), std::string::npos);
}

TEST(ShippedAdbLauncher, PassesArgumentsUnchangedOrSaysAdbIsMissing) {
    QTemporaryDir bin;
    QFile::copy(QString(TGW_TEST_PROCESS_RESOURCES) + "/print_args.sh", bin.filePath("adb"));
    QFile::setPermissions(bin.filePath("adb"), QFile::ReadOwner | QFile::ExeOwner);

    auto withAdb = Process::initWith("adb", &shippedBundle());
    withAdb->setArguments({"shell", "getprop", "&& echo \"<DONE>\";"});
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", bin.path() + ":/usr/bin:/bin");
    withAdb->qprocess().setProcessEnvironment(env);
    const auto found = launch(withAdb);
    ASSERT_TRUE(waitUntil([&] { return found->ended(); }));
    EXPECT_EQ(found->joined(), "arg:shell\narg:getprop\narg:&& echo \"<DONE>\";\n");

    auto noAdb = Process::initWith("adb", &shippedBundle());
    env.insert("PATH", "/nonexistent");
    noAdb->qprocess().setProcessEnvironment(env);
    const auto missing = launch(noAdb);
    ASSERT_TRUE(waitUntil([&] { return missing->ended(); }));
    EXPECT_EQ(missing->joined(), "error: adb is not installed\n");
    EXPECT_NE(missing->statuses.front(), 0);
}

TEST(ProcessMemory, LargeOutputIsStreamedInBoundedMemory) {
    constexpr qint64 kBytes = 200LL * 1024 * 1024;
    const long before = tgw::test::procStatus("VmRSS:");
    auto p = Process::initWith("big_output.sh", &testBundle());
    p->setArguments({QString::number(kBytes)});
    qint64 received = 0;
    size_t largestPiece = 0;
    bool ended = false;
    p->sd().launchAsyncWith(
        false,
        [&](const std::string& piece, ProcessInput*) {
            received += static_cast<qint64>(piece.size());
            largestPiece = std::max(largestPiece, piece.size());
        },
        nullptr, [&](int32_t) { ended = true; });
    ASSERT_TRUE(waitUntil([&] { return ended; }, 120000));
    const long peak = tgw::test::procStatus("VmHWM:");
    EXPECT_EQ(received, kBytes);
    std::printf("200 MB streamed: largest piece %zu bytes, peak RSS %ld KiB (%ld KiB before)\n",
                largestPiece, peak, before);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer keeps freed memory in quarantine
    EXPECT_LT(peak - before, 64 * 1024);
#endif
}

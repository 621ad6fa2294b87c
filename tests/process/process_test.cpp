// The runner with real child processes: stream wiring, pieces, exit statuses,
// start failures, the input pipe, stopping, the shipped launchers and bounded
// memory.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>

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

// Runs a shipped launcher with `env`, in `workDir` when given, to its end.
std::shared_ptr<Outcome> runShipped(const QString& name, QStringList args,
                                    const QProcessEnvironment& env, const QString& workDir = {}) {
    auto p = Process::initWith(name, &shippedBundle());
    p->setArguments(std::move(args));
    p->qprocess().setProcessEnvironment(env);
    p->qprocess().setWorkingDirectory(workDir);
    auto outcome = launch(p);
    EXPECT_TRUE(waitUntil([&] { return outcome->ended(); }, 20000)) << name.toStdString();
    return outcome;
}

std::string linkTarget(const char* path) {
    char buf[4096];
    const ssize_t n = ::readlink(path, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The pid a stand-in wrote to `path` once it is complete, else 0.
pid_t pidIn(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QByteArray text = f.readAll();
    return text.endsWith('\n') ? text.trimmed().toInt() : 0;
}

// The fields of /proc/<pid>/stat from the state on (state, parent, group...).
QList<QByteArray> statOf(const QString& pid) {
    QFile stat("/proc/" + pid + "/stat");
    if (!stat.open(QIODevice::ReadOnly)) return {};
    const QByteArray s = stat.readAll();
    const auto nameEnd = s.lastIndexOf(')');
    return nameEnd < 0 ? QList<QByteArray>() : s.mid(nameEnd + 2).split(' ');
}

// Gone, or a zombie left for whoever adopted it to reap.
bool processGone(pid_t pid) {
    const auto fields = statOf(QString::number(pid));
    return fields.size() < 3 || fields[0] == "Z";
}

// No process of the group is left but zombies.
bool groupGone(pid_t group) {
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return std::none_of(pids.begin(), pids.end(), [&](const QString& pid) {
        const auto fields = statOf(pid);
        return fields.size() > 2 && fields[2].toInt() == group && fields[0] != "Z";
    });
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
    EXPECT_EQ(killed->statuses, std::vector<int32_t>{SIGTERM});
}

TEST(ProcessStreams, OutputIsReadToItsEndBeforeTheEndIsReported) {
    // The program ends at once; what it left behind writes 0.3 s later.
    auto p = Process::initWith("late_output.sh", &testBundle());
    auto outcome = std::make_shared<Outcome>();
    std::string outAtEnd, errAtEnd;
    p->sd().launchAsyncWith(
        false, [&](const std::string& s, ProcessInput*) { outcome->output.push_back(s); },
        [&](const std::string& s) { outcome->errors.push_back(s); },
        [&](int32_t status) {
            outAtEnd = outcome->joined();
            for (const auto& e : outcome->errors) errAtEnd += e;
            outcome->statuses.push_back(status);
        });
    ASSERT_TRUE(waitUntil([&] { return outcome->ended(); }));
    EXPECT_EQ(outAtEnd, "early\nlate\n");
    EXPECT_EQ(errAtEnd, "late-err\n");

    // A process left behind that holds the output open for good does not
    // hold back the end for more than about a second.
    QElapsedTimer clock;
    clock.start();
    const auto held = run("holds_output.sh");
    EXPECT_LT(clock.elapsed(), 10000);
    const pid_t leftBehind = std::atoi(held->joined().c_str());
    if (leftBehind > 0) ::kill(leftBehind, SIGKILL);
}

TEST(ProcessText, CharacterCutByAReadIsCompletedAndInvalidBytesAreReplaced) {
    const auto split = run("split_utf8.sh");
    EXPECT_EQ(split->joined(), "caf\xC3\xA9\n");
    ASSERT_GE(split->output.size(), 2u);  // two reads, the cut character held back
    EXPECT_EQ(split->output[0], "caf");

    testing::internal::CaptureStdout();
    const auto invalid = run("invalid_utf8.sh");
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(invalid->joined(), "\xEF\xBB\xBFok" + fffd + fffd + fffd + fffd + "\n<DO>\n" + fffd);
    EXPECT_GE(invalid->output.size(), 2u);
    EXPECT_EQ(console,
              "invalid_utf8.sh wrote bytes that are not UTF-8; each was replaced by U+FFFD\n");
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

    // Standard input is the caller's own, not a pipe of the runner's.
    auto stdinOf = Process::initWith("stdin_of.sh", &testBundle());
    piece.clear();
    stdinOf->sd().launchWith(false, [&](const std::string& s, ProcessInput*) { piece = s; });
    EXPECT_EQ(piece, linkTarget("/proc/self/fd/0") + "\n");
}

TEST(ProcessStop, StopEndsTheWholeGroupAndRunShLeavesNoFile) {
    Process::create()->stop();  // nothing running: nothing happens
    QTemporaryDir dir;
    QDir().mkdir(dir.filePath("tmp"));
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", dir.filePath("tmp"));
    for (const bool ignoresTerm : {false, true}) {
        // run.sh starts the stand-in, which becomes a sleep: a grandchild.
        const QString pidFile = dir.filePath(ignoresTerm ? "pid-ignoring" : "pid");
        auto p = Process::initWith("run.sh", &shippedBundle());
        p->setArguments({QString(TGW_TEST_PROCESS_RESOURCES) + "/hang.sh " + pidFile +
                         (ignoresTerm ? " ignore-term" : "")});
        p->qprocess().setProcessEnvironment(env);
        const auto outcome = launch(p);
        pid_t grandchild = 0;
        ASSERT_TRUE(waitUntil([&] { return (grandchild = pidIn(pidFile)) > 0; }));
        const auto group = static_cast<pid_t>(p->qprocess().processId());
        QElapsedTimer clock;
        clock.start();
        p->stop();
        ASSERT_TRUE(waitUntil([&] { return outcome->ended(); }, 20000));
        std::printf("stopped %s in %lld ms\n", ignoresTerm ? "(SIGTERM ignored)" : "",
                    static_cast<long long>(clock.elapsed()));
        EXPECT_EQ(outcome->statuses, std::vector<int32_t>{ignoresTerm ? SIGKILL : SIGTERM});
        if (ignoresTerm) {
            EXPECT_GE(clock.elapsed(), 900);
        }
        EXPECT_TRUE(waitUntil([&] { return groupGone(group); }));  // the grandchild too
        EXPECT_TRUE(QDir(dir.filePath("tmp")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot));
        p->stop();  // already ended: nothing happens
    }
}

TEST(ProcessStop, StopAllProcessesEndsEveryLaunchWithinAboutASecond) {
    QTemporaryDir dir;
    std::vector<std::shared_ptr<Outcome>> outcomes;
    std::vector<pid_t> pids;
    for (const QString mode : {"", "ignore-term"}) {
        auto p = Process::initWith("hang.sh", &testBundle());
        const QString pidFile = dir.filePath(mode + "pid");
        p->setArguments({pidFile, mode});
        outcomes.push_back(launch(p));
        pid_t pid = 0;
        ASSERT_TRUE(waitUntil([&] { return (pid = pidIn(pidFile)) > 0; }));
        pids.push_back(pid);
    }
    QElapsedTimer clock;
    clock.start();
    stopAllProcesses();
    std::printf("stopAllProcesses returned after %lld ms\n",
                static_cast<long long>(clock.elapsed()));
    EXPECT_LT(clock.elapsed(), 5000);
    for (const pid_t pid : pids) EXPECT_TRUE(waitUntil([&] { return processGone(pid); }, 2000));
    ASSERT_TRUE(waitUntil([&] { return outcomes[0]->ended() && outcomes[1]->ended(); }));
    EXPECT_EQ(outcomes[0]->statuses, std::vector<int32_t>{SIGTERM});
    EXPECT_EQ(outcomes[1]->statuses, std::vector<int32_t>{SIGKILL});
}

TEST(ProcessStop, ALaterRunEndsANotedGroupOnlyWhileItFitsItsNote) {
    // Two launches of run.sh, each with a grandchild; a later run finds their
    // notes: left alone while the noting run is there; once it is gone, one
    // group is ended and the other, noted with another start time (as after
    // its process id went to an unrelated program), is not.
    QTemporaryDir dir;
    EXPECT_EQ(endOrphanedLaunches(dir.filePath("this")), 0);
    std::vector<std::shared_ptr<Process>> launches;
    std::vector<pid_t> groups, grandchildren;
    for (const QString name : {"fits", "other"}) {
        auto p = Process::initWith("run.sh", &shippedBundle());
        p->setArguments({QString(TGW_TEST_PROCESS_RESOURCES) + "/hang.sh " + dir.filePath(name)});
        launch(p);
        pid_t grandchild = 0;
        ASSERT_TRUE(waitUntil([&] { return (grandchild = pidIn(dir.filePath(name))) > 0; }));
        launches.push_back(p);
        groups.push_back(static_cast<pid_t>(p->qprocess().processId()));
        grandchildren.push_back(grandchild);
    }
    // Notes as "<leader's start> <boot> <noting run's pid> <its start> <alive at>".
    auto copyNotes = [&](bool ofAGoneRun) {
        QDir().mkpath(dir.filePath("later/tgw-mobile-tool"));
        for (const pid_t group : groups) {
            const QString note = "/tgw-mobile-tool/launch-" + QString::number(group);
            QFile noted(dir.filePath("this") + note);
            EXPECT_TRUE(noted.open(QIODevice::ReadOnly));
            QList<QByteArray> fields = noted.readAll().trimmed().split(' ');
            ASSERT_EQ(fields.size(), 5);
            if (ofAGoneRun) fields[2] = fields[3] = "0";
            if (ofAGoneRun && group == groups[1]) fields[0].prepend('1');
            QFile copy(dir.filePath("later") + note);
            EXPECT_TRUE(copy.open(QIODevice::WriteOnly));
            copy.write(fields.join(' ') + '\n');
        }
    };
    copyNotes(false);  // notes of a run still there (this one) are left alone
    EXPECT_EQ(endOrphanedLaunches(dir.filePath("later")), 0);
    EXPECT_EQ(QDir(dir.filePath("later/tgw-mobile-tool")).entryList(QDir::Files).size(), 2);
    copyNotes(true);
    EXPECT_EQ(endOrphanedLaunches(dir.filePath("later")), 1);
    EXPECT_TRUE(waitUntil([&] { return groupGone(groups[0]); }, 2000));
    EXPECT_FALSE(processGone(grandchildren[1]));
    EXPECT_TRUE(QDir(dir.filePath("later/tgw-mobile-tool")).isEmpty());
    launches[1]->stop();
    EXPECT_TRUE(waitUntil([&] { return groupGone(groups[1]); }));
}

TEST(ProcessStop, AStaleNoteSparesAGroupWhoseMembersStartedAfterTheNotingRunWasLastAlive) {
    // A double-forked sleep in a group of its own whose first process is gone,
    // as when an unrelated program's session took a noted group id: noted as
    // alive until the sleep's start tick it is left; noted as alive past it,
    // it was the noted run's and is ended.
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("sleep");
    ASSERT_EQ(QProcess::execute("setsid", {"sh", "-c", "sleep 30 & echo $! >" + pidFile}), 0);
    pid_t sleeper = 0;
    ASSERT_TRUE(waitUntil([&] { return (sleeper = pidIn(pidFile)) > 0; }));
    const auto fields = statOf(QString::number(sleeper));
    ASSERT_GT(fields.size(), 19);
    const qulonglong started = fields[19].toULongLong();
    QFile boot("/proc/sys/kernel/random/boot_id");
    ASSERT_TRUE(boot.open(QIODevice::ReadOnly));
    const QByteArray bootId = boot.readAll().trimmed();
    auto endWithNote = [&](qulonglong aliveAt) {
        QDir().mkpath(dir.filePath("rt/tgw-mobile-tool"));
        QFile note(dir.filePath("rt/tgw-mobile-tool/launch-") + fields[2]);
        EXPECT_TRUE(note.open(QIODevice::WriteOnly));
        note.write(QByteArray::number(started - 1) + ' ' + bootId + " 0 0 " +
                   QByteArray::number(aliveAt) + '\n');
        note.close();
        return endOrphanedLaunches(dir.filePath("rt"));
    };
    EXPECT_EQ(endWithNote(started), 0);
    EXPECT_FALSE(processGone(sleeper));
    EXPECT_EQ(endWithNote(started + 1), 1);
    EXPECT_TRUE(waitUntil([&] { return processGone(sleeper); }, 2000));
    if (!processGone(sleeper)) ::kill(sleeper, SIGKILL);
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

    const auto withDevice =
        run("run.sh", {QString(TGW_TEST_PROCESS_RESOURCES) + "/print_args.sh -u 00008030-001A x"},
            true, false, shippedBundle());
    EXPECT_EQ(withDevice->joined(), "arg:-u\narg:00008030-001A\narg:x\n<DO>\n");
}

TEST(ShippedAdbLauncher, PassesArgumentsUnchangedFromAbsolutePathOnlyWithAPrivateLock) {
    QTemporaryDir dir;
    const QString bin = dir.filePath("bin");
    QDir().mkdir(bin);
    QFile::copy(QString(TGW_TEST_PROCESS_RESOURCES) + "/print_args.sh", bin + "/adb");
    QFile::setPermissions(bin + "/adb", QFile::ReadOwner | QFile::ExeOwner);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", bin + ":/usr/bin:/bin");
    env.insert("XDG_RUNTIME_DIR", dir.path());
    const QStringList args{"-s", "emulator-5554", "shell", "getprop", "&& echo \"<DONE>\";"};
    const auto found = runShipped("adb", args, env);
    EXPECT_EQ(found->joined(),
              "arg:-s\narg:emulator-5554\narg:shell\narg:getprop\narg:&& echo \"<DONE>\";\n");
    EXPECT_TRUE(QFile::exists(dir.filePath("tgw-adb-start.lock")));

    // Without a runtime directory the lock goes to a private one of the user's.
    env.remove("XDG_RUNTIME_DIR");
    env.insert("XDG_CACHE_HOME", dir.filePath("cache"));
    runShipped("adb", {"devices"}, env);
    const QFileInfo lockDir(dir.filePath("cache/tgw-mobile-tool"));
    EXPECT_TRUE(QFile::exists(lockDir.filePath() + "/tgw-adb-start.lock"));
    const auto groupAndOthers = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    EXPECT_EQ(lockDir.permissions() & groupAndOthers, 0);

    // Empty and relative PATH elements are not searched, even where an adb is.
    env.insert("PATH", "::.:bin:/nonexistent");
    const auto missing = runShipped("adb", {"devices"}, env, dir.path());
    EXPECT_EQ(missing->joined(), "error: adb is not installed\n");
    EXPECT_NE(missing->statuses.front(), 0);
    const auto runMissing = runShipped("run.sh", {"/no/such/dir/adb devices"}, env, bin);
    EXPECT_EQ(runMissing->joined(), "error: adb is not installed\n");
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

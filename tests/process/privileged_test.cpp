// Privileged launch through a stand-in elevator that runs its arguments as they are.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFileInfo>
#include <QTemporaryDir>

#include "process/privileged_launch.h"
#include "process/process.h"
#include "support/wait.h"

using namespace tgw::process;
using tgw::test::waitUntil;

namespace {

struct Result {
    std::string output;
    std::vector<int32_t> statuses;
    std::shared_ptr<Process> process;
};

std::shared_ptr<Result> runPrivileged(const QString& elevator, QStringList args,
                                      const char* exitCode = "0",
                                      const QString& tool = "print_args.sh") {
    setElevationProgram(elevator);
    qputenv("TGW_EXIT", exitCode);
    const Bundle bundle(TGW_TEST_PROCESS_RESOURCES);
    auto p = Process::initWith(tool, &bundle);
    p->setArguments(std::move(args));
    auto r = std::make_shared<Result>();
    p->sd().launchAsyncWith(
        true, [r](const std::string& s, ProcessInput*) { r->output += s; }, nullptr,
        [r](int32_t s) { r->statuses.push_back(s); });
    r->process = p;
    return r;
}

const QString kFakeElevator = TGW_TEST_PROCESS_RESOURCES "/fake_elevator.sh";

}  // namespace

TEST(PrivilegedLaunch, ArgumentsOutputAndStatusComeThroughTheChannel) {
    auto r = runPrivileged(kFakeElevator, {"one two", "$(x)", ""}, "5");
    ASSERT_TRUE(waitUntil([&] { return !r->statuses.empty(); }));
    EXPECT_EQ(r->output, "arg:one two\narg:$(x)\narg:\n");
    EXPECT_EQ(r->statuses, std::vector<int32_t>{5});

    auto none = runPrivileged(kFakeElevator, {});
    ASSERT_TRUE(waitUntil([&] { return !none->statuses.empty(); }));
    EXPECT_EQ(none->output, "");
    EXPECT_EQ(none->statuses, std::vector<int32_t>{0});
}

TEST(PrivilegedLaunch, SignalsAreReportedByNumberAndStopReachesTheElevatorsGroup) {
    auto killed = runPrivileged(kFakeElevator, {}, "0", "killed.sh");
    ASSERT_TRUE(waitUntil([&] { return !killed->statuses.empty(); }));
    EXPECT_EQ(killed->statuses, std::vector<int32_t>{SIGTERM});

    QTemporaryDir dir;
    auto hanging = runPrivileged(kFakeElevator, {dir.filePath("pid")}, "0", "hang.sh");
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(dir.filePath("pid")).size() > 0; }));
    hanging->process->stop();
    ASSERT_TRUE(waitUntil([&] { return !hanging->statuses.empty(); }));
    EXPECT_EQ(hanging->statuses, std::vector<int32_t>{SIGTERM});
}

TEST(PrivilegedLaunch, MissingElevatorIsAnErrorLineAndNoCallback) {
    testing::internal::CaptureStdout();
    auto r = runPrivileged("tgw-no-such-elevator", {"x"});
    tgw::test::processEventsFor(200);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "tgw-no-such-elevator is not installed: administrator rights cannot be "
              "requested\n");
    EXPECT_TRUE(r->statuses.empty());
    EXPECT_TRUE(r->output.empty());
}

TEST(PrivilegedLaunch, RefusedAuthorizationIsReportedAsSuch) {
    testing::internal::CaptureStdout();
    auto r = runPrivileged(TGW_TEST_PROCESS_RESOURCES "/refusing_elevator.sh", {"x"});
    const bool ended = waitUntil([&] { return !r->statuses.empty(); });
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended);
    EXPECT_EQ(r->statuses, std::vector<int32_t>{126});
    EXPECT_NE(out.find("administrator rights were not granted"), std::string::npos) << out;
}

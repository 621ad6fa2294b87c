// A tool run's collection: linear in the output's size, whole-buffer
// semantics, and a tool that ends before its end marker.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/queries/query_runner.h"
#include "app/tools/collection_buffer.h"
#include "process/bundle.h"
#include "support/wait.h"

using namespace tgw::app;

TEST(CollectionBuffer, MarkersAreFoundAcrossPiecesAndAcrossCollectorKinds) {
    CollectionBuffer b;
    b.append("abc<DO");
    EXPECT_FALSE(b.containsAny(MarkerSet::android));
    b.append("NE>\n");
    EXPECT_TRUE(b.containsAny(MarkerSet::android));

    CollectionBuffer shared;
    shared.append("apple piece <DONE>");  // no Apple completion text
    EXPECT_FALSE(shared.containsAny(MarkerSet::apple));
    shared.append("x");  // the next Android piece sees the marker appended before
    EXPECT_TRUE(shared.containsAny(MarkerSet::android));
    shared.clear();
    shared.append("ERROR: x");
    EXPECT_FALSE(shared.containsAny(MarkerSet::apple));
    shared.append(" No device fo");
    EXPECT_FALSE(shared.containsAny(MarkerSet::apple));
    shared.append("und");
    EXPECT_TRUE(shared.containsAny(MarkerSet::apple));
}

TEST(CollectionBuffer, CollectingIsLinearInTheOutputSize) {
    // Each byte is searched once, plus a marker's length at each piece's seam:
    // a buffer rescanned from its start would search quadratically many.
    const std::string piece(4096, 'p');
    CollectionBuffer b;
    const size_t pieces = 4096;
    for (size_t i = 0; i < pieces; ++i) {
        b.append(piece);
        if (b.containsAny(MarkerSet::android)) ADD_FAILURE();
    }
    b.append("<DONE>");
    EXPECT_TRUE(b.containsAny(MarkerSet::android));
    EXPECT_LE(b.searchedBytes(), b.text().size() + (pieces + 1) * 6);
}

// A phone unplugged mid-answer: adb prints part of the properties and exits 0.
TEST(ToolRunEnd, EndingBeforeTheMarkerIsAnErrorInBothAndroidResults) {
    qputenv("FAKE_ADB_MODE", "half");
    const tgw::process::Bundle tools{TGW_TEST_APP_RESOURCES};
    std::vector<std::string> results;
    QueryRunner runner(Limits{}, &tools, [&](std::string, std::string r) { results.push_back(r); });
    runner.setAccount("abc");
    testing::internal::CaptureStdout();
    for (QueryKind kind : {QueryKind::androidProperties, QueryKind::androidImei})
        runner.enqueue(kind, MqttApi{"android", std::nullopt, std::nullopt}, "abc");
    const bool ended =
        tgw::test::waitUntil([&] { return results.size() == 2 && runner.runningCount() == 0; });
    const std::string out = testing::internal::GetCapturedStdout();
    qunsetenv("FAKE_ADB_MODE");
    ASSERT_TRUE(ended) << out;
    std::sort(results.begin(), results.end());
    const std::string data =
        R"("data":"error: adb ended before the end marker\n[debug.audio]: [true]\n[persist.vendor")";
    EXPECT_EQ(results,
              (std::vector<std::string>{R"({"action":"data",)" + data + R"(,"type":"android"})",
                                        R"({"action":"imei",)" + data + R"(,"type":"android"})"}));
    EXPECT_NE(out.find("0\nadb ended without a completion text\n"), std::string::npos) << out;
}

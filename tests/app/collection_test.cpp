// Collecting stays linear in the output's size and keeps whole-buffer semantics.
#include <gtest/gtest.h>

#include <chrono>

#include "app/queries/collection_buffer.h"

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
    const std::string piece(64 * 1024, 'p');
    auto secondsPerMB = [&](size_t megabytes) {
        CollectionBuffer b;
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < megabytes * 16; ++i) {
            b.append(piece);
            if (b.containsAny(MarkerSet::android)) ADD_FAILURE();
        }
        b.append("<DONE>");
        EXPECT_TRUE(b.containsAny(MarkerSet::android));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
               static_cast<double>(megabytes);
    };
    // Both sizes above what the allocator keeps for reuse, so that both pay
    // for fresh pages, in a first run and in a repeated one alike; collecting
    // that rescanned its buffer would take four times as long per MB.
    secondsPerMB(40);  // warm up the allocator
    const double small = secondsPerMB(40);
    const double large = secondsPerMB(160);
    std::printf("collection: %.2f ms/MB at 40 MB, %.2f ms/MB at 160 MB\n", small * 1e3,
                large * 1e3);
    EXPECT_LT(large / small, 2.0);
}

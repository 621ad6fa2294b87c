// Collecting stays linear in the output's size and keeps whole-buffer semantics.
#include <gtest/gtest.h>


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

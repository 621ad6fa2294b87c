// Results are written byte for byte as a Qt JSON object writes them, whatever
// bytes a tool wrote.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <random>

#include "app/protocol/mqtt_api.h"

using namespace tgw::app;

namespace {

std::string qtEncode(const MqttApi& api) {
    QJsonObject object;
    object.insert("type", QString::fromStdString(api.type));
    if (api.data) object.insert("data", QString::fromStdString(*api.data));
    if (api.action) object.insert("action", QString::fromStdString(*api.action));
    if (api.serial) object.insert("serial", QString::fromStdString(*api.serial));
    if (api.udid) object.insert("udid", QString::fromStdString(*api.udid));
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace

TEST(MqttApiEncode, IsByteIdenticalToQtsJsonWriter) {
    // clang-format off
    std::vector<std::string> texts = {
        "", "plain", "q\"uo\"te", "back\\slash", "a/b</script>", "\x7f del", {"nul\0x", 5},
        "\b\f\n\r\t\x01\x1f", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xef\xbf\xbd",
        "\xef\xbb\xbf" "bom", "\xef\xbb\xbf\xef\xbb\xbf", "\xef\xbb\xbf\xff", "a\xef\xbb\xbf",
        "\xef\xbb\xbf\xef\xbb\xbf\xff",
        "\x80 lone", "\xc0\x80 overlong", "\xe0\x80\x80", "\xed\xa0\x80 surrogate",
        "\xf4\x90\x80\x80 above", "\xf5\x80", "\xff\xfe", "cut \xe2\x82", "cut \xf0\x9f\x98",
        "\xe2\x82 mid", "\xc3", "a\xc3\xa9\xe9z"};
    // clang-format on
    for (int c = 0; c < 256; ++c) texts.push_back(std::string(1, static_cast<char>(c)) + "x");
    // Random bytes, weighted toward the ones that need care.
    std::mt19937 random(18);
    const std::string alphabet = "ab/\"\\\n\x01\x7f\x80\xbf\xc2\xc3\xe2\xed\xef\xf0\xf4\xf8\xff";
    for (int i = 0; i < 3000; ++i) {
        std::string t(random() % 24, ' ');
        for (char& c : t) c = alphabet[random() % alphabet.size()];
        texts.push_back(t);
    }
    std::string big(1 << 20, ' ');
    for (char& c : big) c = static_cast<char>(random() % 256);
    texts.push_back(big);

    for (const std::string& t : texts) {
        const MqttApi api{"android", t, "data", t};
        ASSERT_EQ(api.encode(), qtEncode(api)) << testing::PrintToString(t);
        const MqttApi other{t, std::nullopt, std::nullopt, std::nullopt, t};
        ASSERT_EQ(other.encode(), qtEncode(other)) << testing::PrintToString(t);
    }
    // Every mix of members, empty ones included, in the same key order.
    for (int mask = 0; mask < 16; ++mask) {
        auto pick = [&](int bit) {
            return mask & bit ? std::optional<std::string>(mask & 8 ? "" : "v") : std::nullopt;
        };
        const MqttApi api{"t", pick(1), pick(2), pick(4), pick(8)};
        EXPECT_EQ(api.encode(), qtEncode(api)) << mask;
    }
}

TEST(MqttApiId, OnlyAValidIdIsKeptAndItIsWrittenInKeyOrder) {
    auto decode = [](const std::string& id) {
        return *MqttApi::decode(R"({"type":"sync","id":)" + id + "}");  // answered either way
    };
    const std::string longest(64, 'x');
    for (const std::string& id : {std::string("Req-1.2_x:y"), longest})
        EXPECT_EQ(decode("\"" + id + "\"").id, id);
    for (const std::string& id : std::vector<std::string>{R"("")", R"("a b")", R"("\u00e9")", "17",
                                                          "{}", "\"x" + longest + "\""})
        EXPECT_TRUE(decode(id).invalidId && !decode(id).id) << id;
    EXPECT_FALSE(decode("null").invalidId || decode("null").id);
    EXPECT_EQ((MqttApi{"android", "d", "data", "S", std::nullopt, "r1"}.encode()),
              R"({"action":"data","data":"d","id":"r1","serial":"S","type":"android"})");
}

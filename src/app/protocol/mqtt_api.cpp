#include "app/protocol/mqtt_api.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstring>

#include "common/utf8.h"

namespace tgw::app {

namespace {

// A member that may be missing or null; otherwise it must be a string.
bool optionalString(const QJsonObject& object, const char* key, std::optional<std::string>& out,
                    std::string* error) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) return true;
    if (!value.isString()) {
        if (error) *error = std::string("\"") + key + "\" is not a string";
        return false;
    }
    out = value.toString().toStdString();
    return true;
}

bool needsEscape(unsigned char c) {
    return c < 0x20 || c == '"' || c == '\\';
}

// The first byte at or after `p` that needs an escape, or `end`: eight bytes
// at a time, looking closer only at words that may hold one.
const char* nextEscape(const char* p, const char* end) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    auto hasZero = [](uint64_t v) { return (v - ones) & ~v & highs; };
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        // Exact for bytes below 0x80; a byte above may give a false alarm.
        if ((((word - ones * 0x20) & ~word) & highs) || hasZero(word ^ (ones * '"')) ||
            hasZero(word ^ (ones * '\\'))) {
            for (const char* q = p; q < p + 8; ++q) {
                if (needsEscape(static_cast<unsigned char>(*q))) return q;
            }
        }
        p += 8;
    }
    while (p < end && !needsEscape(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// `text` as a JSON string: '"', '\\' and control characters escaped (the
// short forms where JSON has them, else \u00xx), everything else as it is.
void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    while (true) {
        // The longest run that needs no escape, in one copy.
        const char* run = p;
        p = nextEscape(p, end);
        out.append(run, static_cast<size_t>(p - run));
        if (p == end) break;
        const auto c = static_cast<unsigned char>(*p++);
        out += '\\';
        switch (c) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '\b': out += 'b'; break;
            case '\f': out += 'f'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            case '\t': out += 't'; break;
            default:
                out += "u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
        }
    }
    out += '"';
}

// `text` as a JSON string, read as Qt reads UTF-8: a byte order mark at the
// start is dropped, and bytes that are not UTF-8 become U+FFFD as its decoder
// decides. Results have always been written so.
void appendJsonString(std::string& out, std::string_view text) {
    if (isValidUtf8(text)) {
        if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
        appendEscaped(out, text);
        return;
    }
    const QByteArray repaired =
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUtf8();
    appendEscaped(out, std::string_view(repaired.constData(), repaired.size()));
}

}  // namespace

std::optional<MqttApi> MqttApi::decode(std::string_view json, std::string* error) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray(json.data(), static_cast<qsizetype>(json.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error) *error = "not JSON: " + parseError.errorString().toStdString();
        return std::nullopt;
    }
    if (!doc.isObject()) {
        if (error) *error = "not a JSON object";
        return std::nullopt;
    }
    const QJsonObject object = doc.object();
    const QJsonValue type = object.value(QLatin1String("type"));
    if (!type.isString()) {
        if (error) *error = type.isUndefined() ? "\"type\" is missing" : "\"type\" is not a string";
        return std::nullopt;
    }
    MqttApi api{type.toString().toStdString()};
    if (!optionalString(object, "data", api.data, error) ||
        !optionalString(object, "action", api.action, error) ||
        !optionalString(object, "serial", api.serial, error) ||
        !optionalString(object, "udid", api.udid, error)) {
        return std::nullopt;
    }
    if (const QJsonValue id = object.value(QLatin1String("id"));
        !id.isUndefined() && !id.isNull()) {
        const std::string text = id.isString() ? id.toString().toStdString() : std::string();
        if (isValidRequestId(text))
            api.id = text;
        else
            api.invalidId = true;
    }
    return api;
}

bool isValidRequestId(std::string_view id) {
    if (id.empty() || id.size() > 64) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == ':' || c == '-';
    });
}

std::string jsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    appendJsonString(out, text);
    return out;
}

std::string MqttApi::encode() const {
    size_t size = type.size() + 10;
    for (const auto* value : {&action, &data, &id, &serial, &udid}) {
        if (*value) size += (*value)->size() + 10;
    }
    std::string out;
    // Room for a few escapes; more only grow the string.
    out.reserve(size + size / 16);
    out += '{';
    auto member = [&out](std::string_view key, std::string_view value) {
        if (out.size() > 1) out += ',';
        out += '"';
        out += key;
        out += "\":";
        appendJsonString(out, value);
    };
    // Members in key order, as a JSON object keeps them.
    if (action) member("action", *action);
    if (data) member("data", *data);
    if (id) member("id", *id);
    if (serial) member("serial", *serial);
    member("type", type);
    if (udid) member("udid", *udid);
    out += '}';
    return out;
}

}  // namespace tgw::app

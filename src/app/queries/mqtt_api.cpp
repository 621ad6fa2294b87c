#include "app/queries/mqtt_api.h"

#include <QJsonDocument>
#include <QJsonObject>

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

// `text` as a JSON string: '"', '\\' and control characters escaped (the
// short forms where JSON has them, else \u00xx), everything else as it is.
// Bytes that are not UTF-8 become U+FFFD as Qt's decoder decides, and a
// byte order mark at the start is dropped, as results have always been read.
void appendJsonString(std::string& out, std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (!isValidUtf8(text)) {
        const QByteArray repaired =
            QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUtf8();
        appendJsonString(out, std::string_view(repaired.constData(), repaired.size()));
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    while (true) {
        // The longest run that needs no escape, in one copy.
        const char* run = p;
        while (p < end && !needsEscape(static_cast<unsigned char>(*p))) ++p;
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
    return api;
}

std::string MqttApi::encode() const {
    size_t size = type.size() + 10;
    for (const auto* value : {&action, &data, &serial, &udid}) {
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
    if (serial) member("serial", *serial);
    member("type", type);
    if (udid) member("udid", *udid);
    out += '}';
    return out;
}

}  // namespace tgw::app

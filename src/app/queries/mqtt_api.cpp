#include "app/queries/mqtt_api.h"

#include <QJsonDocument>
#include <QJsonObject>

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
    QJsonObject object;
    object.insert(QLatin1String("type"), QString::fromStdString(type));
    if (data) object.insert(QLatin1String("data"), QString::fromStdString(*data));
    if (action) object.insert(QLatin1String("action"), QString::fromStdString(*action));
    if (serial) object.insert(QLatin1String("serial"), QString::fromStdString(*serial));
    if (udid) object.insert(QLatin1String("udid"), QString::fromStdString(*udid));
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace tgw::app

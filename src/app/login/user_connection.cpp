#include "app/login/user_connection.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace tgw::app {

std::optional<UserConnection> UserConnection::decode(std::string_view json, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<UserConnection> {
        if (error) *error = why;
        return std::nullopt;
    };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray(json.data(), static_cast<qsizetype>(json.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return fail("the reply is not JSON: " + parseError.errorString().toStdString());
    }
    if (!doc.isObject()) return fail("the reply is not a JSON object");
    const QJsonObject object = doc.object();
    const QJsonValue success = object.value(QLatin1String("success"));
    const QJsonValue prefix = object.value(QLatin1String("prefix"));
    if (success.isUndefined()) return fail("the reply has no \"success\"");
    const double number = success.toDouble(0.5);
    if (!success.isDouble() || std::trunc(number) != number || std::abs(number) > 9.0e15) {
        return fail("\"success\" is not an integer");
    }
    if (prefix.isUndefined()) return fail("the reply has no \"prefix\"");
    if (!prefix.isString()) return fail("\"prefix\" is not a string");
    UserConnection user{static_cast<int64_t>(number), prefix.toString().toStdString(), {}, {}};
    const QJsonValue username = object.value(QLatin1String("mqtt_username"));
    const QJsonValue password = object.value(QLatin1String("mqtt_password"));
    if (!username.isUndefined() || !password.isUndefined()) {
        // Half a pair, or a pair of the wrong type, is a mistake of the web
        // service: quietly falling back to the shared account would hide it.
        if (!username.isString() || !password.isString()) {
            return fail("\"mqtt_username\" and \"mqtt_password\" are not both strings");
        }
        user.mqttUsername = username.toString().toStdString();
        user.mqttPassword = password.toString().toStdString();
    }
    return user;
}

std::string UserConnection::description() const {
    return "UserConnection(success: " + std::to_string(success) + ", prefix: \"" + prefix + "\")";
}

bool UserConnection::prefixIsUsable() const {
    return prefix.find_first_of(std::string_view("+#\0", 3)) == std::string::npos;
}

}  // namespace tgw::app

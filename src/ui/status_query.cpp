#include "ui/status_query.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <cstdio>

#include "ui/terminal.h"

namespace tgw::ui {

namespace {

QString phoneLine(const QJsonObject& phone) {
    const bool apple = phone["platform"] == QLatin1String("apple");
    const QString id = phone[apple ? "udid" : "serial"].toString();
    const QString name = phone[apple ? "name" : "model"].toString();
    return (name.isEmpty() ? id : name + " " + id) + " (" + phone["platform"].toString() + ", " +
           phone["state"].toString() + ")";
}

}  // namespace

std::optional<QJsonObject> queryStatus(const QString& socketPath, bool* listening, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    const bool connected = socket.waitForConnected(int(deadline.remainingTime()));
    if (listening) *listening = connected;
    if (!connected) return std::nullopt;
    socket.write("status\n");
    QByteArray reply;
    while (!reply.contains('\n') && !deadline.hasExpired() &&
           socket.waitForReadyRead(int(deadline.remainingTime())))
        reply += socket.readAll();
    const QJsonDocument doc = QJsonDocument::fromJson(reply.trimmed());
    if (!reply.endsWith('\n') || !doc.isObject()) return std::nullopt;
    return doc.object();
}

QString describeStatus(const QJsonObject& s) {
    QStringList phones;
    for (const QJsonValue& phone : s["phones"].toArray()) phones << phoneLine(phone.toObject());
    const QString error = s["last_error"].toString();
    QString text;
    text += "state: " + s["state"].toString() + " since " + s["since"].toString() + "\n";
    text += "account: " +
            (s["email"].toString().isEmpty() ? QStringLiteral("(not logged in)")
                                             : s["email"].toString()) +
            "\n";
    text += "web service: " + s["web_service"].toString() + "\n";
    text += "broker: " + s["broker"].toString() + " as " + s["broker_user"].toString() + "\n";
    text += "client id: " + s["client_id"].toString() + "\n";
    text += "account prefix: " +
            (s["prefix"].toString().isEmpty() ? QStringLiteral("(not logged in)")
                                              : s["prefix"].toString()) +
            "\n";
    text += "last error: " +
            (error.isEmpty() ? QStringLiteral("none")
                             : error + " at " + s["last_error_at"].toString()) +
            "\n";
    text += "phones: " + (phones.isEmpty() ? QStringLiteral("none") : phones.join("; ")) + "\n";
    text += QString("queries: %1 running, %2 waiting\n")
                .arg(s["queries_running"].toInteger())
                .arg(s["queries_waiting"].toInteger());
    text += QString("results held: %1\n").arg(s["results_held"].toInteger());
    text += "version: " + s["version"].toString() + "\n";
    return text;
}

int printStatus(const QString& socketPath, bool json) {
    bool listening = false;
    const std::optional<QJsonObject> status = queryStatus(socketPath, &listening);
    if (!listening) {
        if (json)
            printTo(stdout, QStringLiteral("{\"state\":\"not running\"}\n"));
        else
            printError("no agent runs for this user");
        return kStatusNoAgent;
    }
    if (!status) {
        printError("the running agent did not answer within 0.5 s");
        return kStatusNoAnswer;
    }
    printTo(stdout,
            json ? QString::fromUtf8(QJsonDocument(*status).toJson(QJsonDocument::Compact)) + "\n"
                 : describeStatus(*status));
    return (*status)["state"] == QLatin1String("connected") ? kStatusConnected
                                                            : kStatusNotConnected;
}

}  // namespace tgw::ui

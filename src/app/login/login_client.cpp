#include "app/login/login_client.h"

#include <QBuffer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <algorithm>
#include <utility>

#include "app/config/config.h"
#include "app/login/credential_store.h"
#include "app/login/user_connection.h"
#include "common/console.h"
#include "common/diagnostics.h"
#include "mqtt/tls_trust.h"

namespace tgw::app {

namespace {

// The login form: field names as the web service expects them, values
// percent-encoded so that "&", "=", "+" and "%" arrive as typed.
QByteArray loginForm(const QString& email, const QString& password) {
    return "_method=POST&data[User][email]=" + QUrl::toPercentEncoding(email) +
           "&data[User][password]=" + QUrl::toPercentEncoding(password);
}

// Scheme, host and port alike: where the login may be sent again.
bool sameOrigin(const QUrl& a, const QUrl& b) {
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(443) == b.port(443);
}

// Redirects followed in one login; past them the reply counts as invalid.
constexpr int kMaxRedirects = 5;

QString seconds(std::chrono::milliseconds ms) {
    return QString::number(static_cast<double>(ms.count()) / 1000.0);
}

}  // namespace

LoginClient::LoginClient(const Config& config)
    : m_webUrl(config.webUrl), m_caFile(config.caFile), m_timeout(config.limits.loginTimeout) {
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);  // a coarse one may fire 5% early
    QObject::connect(&m_deadline, &QTimer::timeout, this, [this] { cut(Cut::timedOut); });
}

LoginClient::~LoginClient() {
    abandon();
}

void LoginClient::setTimeout(std::chrono::milliseconds limit) {
    m_timeout = limit;
}

void LoginClient::login(const QString& email, const QString& password, Completion done) {
    abandon();
    m_done = std::move(done);
    // A child, so that one whose deletion is still pending goes with this.
    m_network = new QNetworkAccessManager(this);
    m_redirects = 0;
    send(QUrl(m_webUrl + "/api/connect"), loginForm(email, password));
    m_deadline.start(m_timeout);
}

void LoginClient::send(const QUrl& url, const QByteArray& form) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    request.setSslConfiguration(mqtt::trustedTlsConfiguration(readCaCertificates(m_caFile)));
    // One request per connection, which HTTP/1.1 can ask the server for; the
    // manager goes with the login in any case.
    request.setRawHeader("Connection", "close");
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // Redirects are judged and followed here (followRedirect), each with one
    // POST: the form, password included, is never sent to another server.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);

    m_upload = new QBuffer;
    m_upload->setData(form);
    m_reply = m_network->post(request, m_upload);
    m_upload->setParent(m_reply);
    // Qt stops reading from the socket once this much waits unread.
    m_reply->setReadBufferSize(kMaxReplyBytes + 1);
    QObject::connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxReplyBytes) cut(Cut::tooLarge);
    });
    QObject::connect(m_reply, &QNetworkReply::readyRead, this, &LoginClient::readSome);
    QObject::connect(m_reply, &QNetworkReply::finished, this, &LoginClient::finished);
}

void LoginClient::readSome() {
    if (!m_reply || m_cut != Cut::none) return;
    m_body += m_reply->read(kMaxReplyBytes + 1 - m_body.size());
    if (m_body.size() > kMaxReplyBytes) cut(Cut::tooLarge);
}

void LoginClient::cut(Cut why) {
    if (!m_reply || m_cut != Cut::none) return;
    m_cut = why;
    m_reply->abort();  // finishes the reply at once
}

void LoginClient::finished() {
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    if (m_cut == Cut::none) {
        m_body += reply->read(kMaxReplyBytes + 1 - m_body.size());
        if (m_body.size() > kMaxReplyBytes) m_cut = Cut::tooLarge;
    }
    if (m_cut == Cut::none && followRedirect(*reply)) return;
    m_deadline.stop();
    const Result result = decide(*reply);
    release(reply);
    std::exchange(m_done, nullptr)(result);
}

// 307 and 308 repeat the POST with its form on the same server; 301, 302 and
// 303 would turn it into a GET without the form, which is no login.
bool LoginClient::followRedirect(QNetworkReply& reply) {
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant location = reply.attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (status < 300 || status > 399 || !location.isValid()) return false;
    const QUrl target = reply.url().resolved(location.toUrl());
    if ((status == 307 || status == 308) && sameOrigin(target, reply.url()) &&
        ++m_redirects <= kMaxRedirects) {
        QObject::disconnect(&reply, nullptr, this, nullptr);
        reply.deleteLater();
        m_body.clear();
        send(target, m_upload->data());
        return true;
    }
    qCWarning(lcLogin) << "the login was redirected with HTTP status" << status << "to" << target
                       << ": refused";
    m_redirectStatus = status;
    m_cut = Cut::redirect;
    return false;
}

void LoginClient::release(QNetworkReply* reply) {
    wipeBytes(m_upload->data());
    m_upload = nullptr;
    wipeBytes(m_body);  // may hold the broker's credentials
    m_body.clear();
    m_cut = Cut::none;
    // Deleting the manager closes its connections and frees their buffers;
    // later, since the reply may be in the middle of a signal.
    QObject::disconnect(reply, nullptr, this, nullptr);
    std::exchange(m_network, nullptr)->deleteLater();
}

LoginClient::Result LoginClient::decide(QNetworkReply& reply) {
    Result result;
    switch (m_cut) {
        case Cut::timedOut: {
            const QString limit = seconds(m_deadline.intervalAsDuration());
            result.reason = "no answer within " + limit.toStdString() + " s";
            writeConsoleLine("the login request did not finish within " + limit.toStdString() +
                             " s");
            result.outcome = Outcome::unreachable;
            return result;
        }
        case Cut::tooLarge:
            result.reason = "the reply is larger than " + std::to_string(kMaxReplyBytes) + " bytes";
            writeConsoleLine("the login reply is larger than 64 KiB");
            result.outcome = Outcome::badReply;
            return result;
        case Cut::redirect:
            writeConsoleLine("the login was redirected (HTTP " + std::to_string(m_redirectStatus) +
                             ") where the form cannot follow");
            result.outcome = Outcome::badReply;
            return result;
        case Cut::none: break;
    }

    if (reply.error() != QNetworkReply::NoError)
        writeConsoleLine(reply.errorString().toStdString());
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Without a status no web server has answered.
    if (!status.isValid()) {
        result.outcome = reply.error() == QNetworkReply::SslHandshakeFailedError
                             ? Outcome::untrusted
                             : Outcome::unreachable;
        result.reason = reply.errorString().toStdString();
        const QSslCertificate peer = reply.sslConfiguration().peerCertificate();
        if (!peer.isNull()) result.reason += "; " + mqtt::describeCertificate(peer);
        return result;
    }
    return judgeReply(status.toInt(), std::string_view(m_body.constData(), m_body.size()),
                      [](const std::string& line) { writeConsoleLine(line); });
}

LoginClient::Result LoginClient::judgeReply(int status, std::string_view body,
                                            const std::function<void(const std::string&)>& say) {
    Result result;
    result.outcome = Outcome::badReply;
    result.httpStatus = status;
    const std::string http = "HTTP status " + std::to_string(status);
    result.reason = http + ", an empty reply";
    if (body.empty()) return result;
    std::string error;
    const auto user = UserConnection::decode(body, &error);
    if (!user) {
        say(error);
        result.reason = http + ", an invalid reply: " + error;
        return result;
    }
    say(user->description());
    if (!user->prefixIsUsable()) {
        say("the account's prefix holds a character that cannot be in a topic");
        result.reason = http + ", the account's prefix cannot be in a topic";
        return result;
    }
    const bool ok = status >= 200 && status < 300;
    // A web service may turn credentials down with 401 or 403 and the usual
    // body; only a success status accepts them.
    const bool refusal = status >= 400 && status < 500;
    if (user->success == 1 && ok) {
        result.outcome = Outcome::accepted;
        result.reason.clear();
        result.prefix = user->prefix;
        if (user->mqttUsername) {
            result.broker = BrokerCredentials{*user->mqttUsername, *user->mqttPassword};
        }
    } else if (user->success != 1 && (ok || refusal)) {
        result.outcome = Outcome::rejected;
        result.reason = http + ", the web service turned the e-mail address and password down";
    } else {
        result.reason =
            http + " with \"success\" " + std::to_string(user->success) + ": taken as invalid";
    }
    return result;
}

void LoginClient::abandon() {
    if (!m_reply) return;
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    QObject::disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    m_deadline.stop();
    m_done = nullptr;
    release(reply);
}

}  // namespace tgw::app

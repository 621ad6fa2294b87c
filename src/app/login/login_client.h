// LoginClient: the technician's login with the web service. Posts the e-mail
// address and password as a form to <web service>/api/connect over HTTPS
// (trusting the same CAs as the broker socket) and decodes the reply as a
// UserConnection. The window uses it; it needs no widgets.
//
// What it guards against: a server that never answers (a time limit), a
// redirect to another origin (refused, so the password never leaves for it),
// a redirect that would turn the login into a GET (301, 302, 303: refused as
// an invalid reply; 307 and 308 on the same origin are followed with the
// form), an endless reply (at most kMaxReplyBytes are read), an error status
// whose body looks like an acceptance (not a success).
//
// The password does not outlive the login: each login has a network access
// manager of its own, asks the server to close the connection and drops it
// (with the buffers that held the form) when the login ends, whether or not
// the server keeps connections alive.
//
// One login at a time; lives on the main thread.
#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/broker/connection_state.h"

class QBuffer;
class QNetworkReply;
class QUrl;

namespace tgw::app {

struct Config;

class LoginClient : public QObject {
    Q_OBJECT
  public:
    enum class Outcome {
        accepted,     // "success" is 1: go on with `prefix` (and `broker`)
        rejected,     // the web service turned the credentials down
        unreachable,  // no answer: network, TLS or the time limit
        untrusted,    // the web server's certificate is not trusted
        badReply,     // an answer that cannot be taken as a login
    };
    struct Result {
        Outcome outcome = Outcome::unreachable;
        std::string prefix;                       // when accepted
        std::optional<BrokerCredentials> broker;  // when accepted and the reply names them
        std::string reason;                       // when not accepted: why, for the log
        int httpStatus = 0;                       // of the answer; 0 when none came
        // A failure of the network or the web server, not of the credentials:
        // trying the same login later may succeed.
        bool passing() const {
            return outcome == Outcome::unreachable ||
                   (outcome == Outcome::badReply && httpStatus >= 500);
        }
    };
    using Completion = std::function<void(const Result&)>;

    // Replies longer than this are cut off and count as a bad reply.
    static constexpr qint64 kMaxReplyBytes = 64 * 1024;

    explicit LoginClient(const Config& config);
    // Abandons a running login without calling its completion.
    ~LoginClient() override;

    // A login that has not finished within `limit` (from the request until the
    // last byte of the reply) fails as unreachable; the configured login
    // timeout until this is called.
    void setTimeout(std::chrono::milliseconds limit);

    // Starts a login, abandoning any running one. `done` is called once, later,
    // on the event loop; isRunning() is false by then. The password goes into
    // the request body only, which is overwritten when the request ends.
    void login(const QString& email, const QString& password, Completion done);
    bool isRunning() const { return m_reply != nullptr; }
    // Where logins go: the web service's address, https, without a trailing slash.
    const QString& webUrl() const { return m_webUrl; }
    // Ends a running login; its completion is not called.
    void abandon();

    // The verdict on a web server's answer with HTTP `status` and `body`;
    // console lines (a decoding error, the decoded reply) go to `say`.
    static Result judgeReply(int status, std::string_view body,
                             const std::function<void(const std::string&)>& say);

  private:
    enum class Cut { none, timedOut, tooLarge, redirect };

    // Posts `form` to `url` as the running request.
    void send(const QUrl& url, const QByteArray& form);
    void readSome();
    // Sends the login on when `reply` redirects it where it may follow.
    bool followRedirect(QNetworkReply& reply);
    void cut(Cut why);
    void finished();
    Result decide(QNetworkReply& reply);
    // Wipes the form and lets the login's connection go.
    void release(QNetworkReply* reply);

    // The running login's own manager, a child of this (replies are its
    // children); deleted when the login ends, which closes its connections.
    QNetworkAccessManager* m_network = nullptr;
    QNetworkReply* m_reply = nullptr;  // the running request
    QBuffer* m_upload = nullptr;       // its form, owned by it; wiped at the end
    QByteArray m_body;                 // the reply's bytes read so far
    Cut m_cut = Cut::none;
    int m_redirects = 0;       // followed in this login
    int m_redirectStatus = 0;  // of a refused redirect
    QString m_webUrl;          // https, without a trailing slash
    QString m_caFile;
    std::chrono::milliseconds m_timeout;
    Completion m_done;
    QTimer m_deadline;
};

}  // namespace tgw::app

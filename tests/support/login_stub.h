// A stand-in for the web service's login endpoint: HTTPS on a free loopback
// port with the test CA's server certificate. Answers every POST as
// configured (status and body, a redirect, an endless body, or never) and
// keeps what it was sent.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSslServer>
#include <QString>

namespace tgw::test {

class LoginStub : public QObject {
  public:
    LoginStub();
    ~LoginStub() override;
    // Listens on a free loopback port, once; true when listening.
    bool listen();
    QString url() const;  // https://localhost:<port>

    int status = 200;
    QByteArray replyBody = R"({"success": 1, "prefix": "demo"})";
    // When set, the answer is "307 Temporary Redirect" to this address.
    QByteArray redirectTo;
    // When false, requests are read and never answered.
    bool answers = true;
    // When above 0, the answer is a body of this many bytes without a
    // Content-Length, written only as fast as the client reads it.
    qint64 endlessBodyBytes = 0;

    QByteArray lastPath;
    QByteArray lastBody;
    QByteArray lastContentType;
    int requests = 0;
    qint64 bodyBytesSent = 0;  // of the last endless body

  private:
    void serve(QSslSocket* socket);
    void answer(QSslSocket* socket);
    void writeEndlessBody(QSslSocket* socket);

    QSslServer m_server;
};

}  // namespace tgw::test

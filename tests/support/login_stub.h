// A stand-in for the web service's login endpoint: HTTPS on a free loopback
// port with the test CA's server certificate. Answers every POST with the
// configured status and body, and keeps what it was sent.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSslServer>
#include <QString>

namespace tgw::test {

class LoginStub : public QObject {
  public:
    LoginStub();
    bool listen();
    QString url() const;  // https://localhost:<port>

    int status = 200;
    QByteArray replyBody = R"({"success": 1, "prefix": "demo"})";

    QByteArray lastPath;
    QByteArray lastBody;
    QByteArray lastContentType;
    int requests = 0;

  private:
    void serve(QSslSocket* socket);

    QSslServer m_server;
};

}  // namespace tgw::test

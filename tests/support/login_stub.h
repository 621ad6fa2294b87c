// A stand-in for the web service's login endpoint: HTTPS on a free loopback
// port with the test CA's server certificate. Answers every POST as
// configured (status and body, a redirect, an endless body, or never) and
// keeps what it was sent. Like most web servers it keeps a connection open
// after an answer with a Content-Length (HTTP/1.1 keep-alive), whatever the
// request asked, unless keepAlive is false.
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
    // Listens on `port` (a free one when 0), once; true when listening.
    bool listen(quint16 port = 0);
    QString url() const;  // https://localhost:<port>

    int status = 200;
    QByteArray replyBody = R"({"success": 1, "prefix": "demo"})";
    // When set, a request for /api/connect is answered with `redirectStatus`
    // and this address as its Location (another path is answered as usual).
    QByteArray redirectTo;
    int redirectStatus = 307;
    bool keepAlive = true;
    // When false, requests are read and never answered.
    bool answers = true;
    // When above 0, the answer is a body of this many bytes without a
    // Content-Length, written only as fast as the client reads it.
    qint64 endlessBodyBytes = 0;

    QByteArray lastPath;
    QByteArray lastBody;
    QByteArray lastContentType;
    QByteArray lastConnectionHeader;  // the request's "Connection:" value
    QList<QByteArray> requestLines;   // "POST /api/connect", one per request
    int requests = 0;
    qint64 bodyBytesSent = 0;  // of the last endless body

    // Connections the client has not closed yet.
    int openConnections() const { return m_open; }

  private:
    void serve(QSslSocket* socket);
    // Reads the whole requests in `buffer` off it and answers them.
    void handleRequests(QSslSocket* socket, QByteArray& buffer);
    // Ends an answer: closes the connection or keeps it for the next request.
    void endAnswer(QSslSocket* socket);
    void answer(QSslSocket* socket);
    void writeEndlessBody(QSslSocket* socket);

    QSslServer m_server;
    int m_open = 0;
};

}  // namespace tgw::test

#pragma once

#include <QNetworkAccessManager>

#include <curl/curl.h>

// A network access manager whose http and https requests libcurl carries (see CurlReply), with
// the manager's proxy; every other scheme is refused by the reply as unknown. Connections are kept
// for the process, so that the next download to the same server takes the same one, unless the
// manager keeps its own: those close with it.
class CurlNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit CurlNetworkAccessManager(QObject *parent = nullptr, bool ownConnections = false);
    ~CurlNetworkAccessManager() override;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *outgoingData) override;

private:
    CURLSH *connections = nullptr; // null: the process's
};

#pragma once

#include "service/servicekeypair.h"
#include "service/releasefolder.h"

#include <QCoreApplication>
#include <QSet>
#include <QString>
#include <httplib.h>

#include <optional>

// The substitute update service: answers the updater's upgrade query at "/api/upgrade" from a
// release folder's listing and serves the release's files under "/files/".
class UpdateServer
{
    Q_DECLARE_TR_FUNCTIONS(UpdateServer)

public:
    // Upgrade requests are a few hundred bytes; anything far larger is refused unread.
    static constexpr size_t maxRequestBody = 64 * 1024;

    UpdateServer(const QString &releaseDir, const ServiceKeyPair &pair);

    // Without a list every non-empty token is accepted.
    void setAcceptedTokens(const QSet<QString> &tokens) { acceptedTokens = tokens; }
    // Where the updater downloads the files from; by default this server's "/files".
    void setDownloadUrl(const QString &url) { downloadUrl = url; }

    // Port 0 takes any free port. Returns the bound port, or -1.
    int bind(const QString &host, int port);
    // Serves until the process ends.
    void listen() { http.listen_after_bind(); }

private:
    void answerUpgrade(const httplib::Request &request, httplib::Response &response) const;
    void serveFile(const httplib::Request &request, httplib::Response &response) const;
    QJsonObject replyFor(const QString &token, QString *error) const;

    ReleaseFolder release;
    ServiceKeyPair keyPair;
    std::optional<QSet<QString>> acceptedTokens;
    QString downloadUrl;
    httplib::Server http;
};

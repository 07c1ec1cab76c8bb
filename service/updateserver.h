#pragma once

#include "service/boundedhttpserver.h"
#include "service/releasefolder.h"
#include "service/rollout.h"
#include "service/servicekeypair.h"

#include <QCoreApplication>
#include <QHash>
#include <QSet>
#include <QString>

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

// The substitute update service: answers the updater's upgrade query at "/api/upgrade" from a
// release folder's listing and serves the release's files under "/files/". A rollout may offer other
// releases to some users; their files are under "/releases/DIGEST/", DIGEST the SHA-256 of the
// listing they were answered with, so that only those answered can fetch them. Every request leaves
// one line in the log, on standard error and in an optional file.
class UpdateServer
{
    Q_DECLARE_TR_FUNCTIONS(UpdateServer)

public:
    // Upgrade requests are a few hundred bytes; anything far larger is refused unread.
    static constexpr size_t maxRequestBody = 64 * 1024;

    UpdateServer(const QString &releaseDir, const ServiceKeyPair &pair);
    ~UpdateServer();

    // Without a list every non-empty token is accepted.
    void setAcceptedTokens(const QSet<QString> &tokens) { acceptedTokens = tokens; }
    // Where the updater downloads the files from; by default this server's "/files".
    void setDownloadUrl(const QString &url) { downloadUrl = url; }
    // Takes effect with the next query; queries on their way keep the one they began with.
    void setRollout(std::shared_ptr<const Rollout> rollout);
    void setMaxConnectionsPerAddress(int count) { http.setMaxConnectionsPerAddress(count); }
    // Appends the log to the file as well.
    bool openLogFile(const QString &path);
    void log(const QString &line);

    // Port 0 takes any free port. Returns the bound port, or -1 with the reason in errorString().
    int bind(const QString &host, int port);
    // Serves until the process ends; returns only when the server cannot start.
    void listen() { http.listen(); }

    QString errorString() const { return error; }

private:
    void answerUpgrade(const httplib::Request &request, httplib::Response &response) const;
    // An open descriptor of the file asked for, or -1 with the refusal in the response.
    int serveFile(const httplib::Request &request, httplib::Response &response) const;
    QJsonObject replyFor(const QString &token, QString *note) const;
    std::shared_ptr<const Rollout> currentRollout() const;
    void rememberDigest(const QString &dir, const QString &digest) const;
    void logRequest(const httplib::Request &request, const httplib::Response &response);

    ReleaseFolder release;
    ServiceKeyPair keyPair;
    std::optional<QSet<QString>> acceptedTokens;
    QString downloadUrl;
    QString ownUrl; // http://HOST:PORT
    mutable std::mutex rolloutMutex;
    std::shared_ptr<const Rollout> rollout;
    // Of each rollout release served here, by folder: the digest of its listing as last read.
    mutable std::mutex digestMutex;
    mutable QHash<QString, QString> digests;
    BoundedHttpServer http;
    std::mutex logMutex;
    std::FILE *logFile = nullptr;
    QString error;
};

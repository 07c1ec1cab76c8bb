#pragma once

#include "service/boundedhttpserver.h"
#include "service/releasefolder.h"
#include "service/reportstore.h"
#include "service/rollout.h"
#include "service/servicekeypair.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

// The substitute update service: answers the updater's upgrade query at "/api/upgrade" from a
// release folder's listing and serves the release's files under "/files/". A rollout may offer other
// releases to some users; their files are under "/releases/DIGEST/", DIGEST the SHA-256 of the
// listing they were answered with, so that only those answered can fetch them. Each file goes with a
// strong ETag, the digest its listing holds, so that an interrupted download resumes only on the same
// bytes. Every request leaves one line in the log, on standard error and in an optional file.
class UpdateServer
{
    Q_DECLARE_TR_FUNCTIONS(UpdateServer)

public:
    // Upgrade requests are a few hundred bytes; anything far larger is refused unread.
    static constexpr size_t maxRequestBody = 64 * 1024;
    // How long unchanged listing files are taken as checked: they are read and checked again after it
    // all the same, for a file system whose times are too coarse to show a rewrite. Their expiry, the
    // one thing that ages in them, is looked at on every query.
    static constexpr int recheckMs = 60 * 1000;

    UpdateServer(const QString &releaseDir, const ServiceKeyPair &pair);
    ~UpdateServer();

    // Without a list every non-empty token is accepted.
    void setAcceptedTokens(const QSet<QString> &tokens) { acceptedTokens = tokens; }
    // Where the updater downloads the files from; by default this server's "/files".
    void setDownloadUrl(const QString &url) { downloadUrl = url; }
    // A listing read again is held to these as serve held the one it started with, and its signed
    // sequence must not fall below the one served; else the last good one stays.
    void setReleaseKeys(const QStringList &keys) { releaseKeys = keys; }
    // Takes effect with the next query; queries on their way keep the one they began with.
    void setRollout(std::shared_ptr<const Rollout> rollout);
    std::shared_ptr<const Rollout> currentRollout() const;
    // Of the stable listing as last read; 0 when it is not signed.
    int stableSequence() const;
    void setMaxConnectionsPerAddress(int count) { http.setMaxConnectionsPerAddress(count); }
    // With a store, every reply asks for an outcome report at "/api/report", and the reports may
    // halt the rollout by its rule; the halt's reason goes beside rolloutPath.
    void setReports(ReportStore *store, const QString &rolloutPath);
    // Appends the log to the file as well.
    bool openLogFile(const QString &path);
    void log(const QString &line) const;

    // Port 0 takes any free port. Returns the bound port, or -1 with the reason in errorString().
    int bind(const QString &host, int port);
    // Serves until the process ends; returns only when the server cannot start.
    void listen() { http.listen(); }

    QString errorString() const { return error; }

private:
    // A folder's listing as last taken, with what validates each file it names.
    struct Served
    {
        struct File
        {
            QString sha256;
            qint64 size = -1;
        };
        ReleaseFolder::Listing listing;
        QString stamp; // of the listing files when they were read
        QDateTime expires; // of the signed listing; invalid: none
        QHash<QString, File> files; // by path below the folder, the forms included
    };

    // Reads the folder's listing again; null, with the reason, when it fails and none was taken before.
    std::shared_ptr<const Served> readServed(const QString &dir, const QString &url, QString *error) const;
    std::shared_ptr<const Served> lastServed(const QString &dir) const;
    void answerUpgrade(const httplib::Request &request, httplib::Response &response) const;
    // An open descriptor of the file asked for, or -1 with the refusal in the response.
    int serveFile(const httplib::Request &request, httplib::Response &response) const;
    QJsonObject replyFor(const QString &token, QString *note) const;
    // The request's JSON text decrypted, with the key to answer under; false when refused.
    bool openRequest(const httplib::Request &request, httplib::Response &response, std::string *requestKey,
                     QJsonObject *inner) const;
    void answer(httplib::Response &response, const std::string &requestKey, const QJsonObject &reply,
                const QString &note) const;
    void answerReport(const httplib::Request &request, httplib::Response &response);
    // The sequence of the named release as served now; -1 when it is not served.
    qint64 servedSequence(const QString &name) const;
    void checkHalt();
    void logRequest(const httplib::Request &request, const httplib::Response &response);

    QString releaseDir;
    ReportStore *reports = nullptr;
    QString rolloutPath;
    QByteArray clientKey; // hashes tokens when no rollout's seed does
    ServiceKeyPair keyPair;
    QStringList releaseKeys;
    std::optional<QSet<QString>> acceptedTokens;
    QString downloadUrl;
    QString ownUrl; // http://HOST:PORT
    mutable std::mutex rolloutMutex;
    std::shared_ptr<const Rollout> rollout;
    // By folder: the listing last taken, and why a later one was not (logged once).
    mutable std::mutex servedMutex;
    mutable QHash<QString, std::shared_ptr<const Served>> served;
    mutable QHash<QString, QString> refusals;
    // When each folder's served listing was last found current: a release of thousands of files
    // costs every query tens of milliseconds to read and check again.
    mutable QHash<QString, QElapsedTimer> confirmed;
    BoundedHttpServer http;
    mutable std::mutex logMutex;
    std::FILE *logFile = nullptr;
    QString error;
};

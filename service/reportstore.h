#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <mutex>

#include "protocol/outcomereport.h"
#include "service/haltrule.h"

// Where serve keeps the updaters' outcome reports: counts per release, outcome and hour and of the
// installations per release by their latest outcome for good, and each report itself for a bounded
// time. SQLite in a file by default; PostgreSQL, given as
// postgresql://USER@HOST:PORT/DB (or ?host=/socket/folder), when several serve share one store.
// Callable from any thread: each thread has its own connection, as QtSql requires.
class ReportStore
{
    Q_DECLARE_TR_FUNCTIONS(ReportStore)

public:
    struct Hour
    {
        QString release;
        qint64 sequence = 0;
        QString outcome;
        qint64 hour = 0; // hours since the epoch, UTC
        qint64 count = 0;
    };
    struct Installations
    {
        QString release;
        qint64 sequence = 0;
        HaltRule::Tally tally;
    };
    struct Reason
    {
        QString release;
        QString reason;
        qint64 count = 0;
    };

    ReportStore() = default;
    ~ReportStore();
    ReportStore(const ReportStore &) = delete;
    ReportStore &operator=(const ReportStore &) = delete;

    // Creates the tables where they are missing.
    bool open(const QString &where, int keepDays);
    bool add(const QString &release, qint64 sequence, const QString &client, const OutcomeReport &report,
             const QDateTime &at);
    // The installations that tried the release, each by its latest install or failure.
    HaltRule::Tally tally(const QString &release, qint64 sequence);
    // The same for the one release named, or for every release when release is null.
    QList<Installations> installations(const QString &release = QString(), qint64 sequence = 0);
    QList<Hour> hours();
    // Of the reports still kept, most frequent first.
    QList<Reason> reasons(int limit);
    // Drops the reports older than the days kept; the counts stay.
    bool prune(const QDateTime &now);

    QString errorString() const;

private:
    QSqlDatabase connection();
    bool fail(const QString &what, const QString &reason);
    bool pruneLocked(const QDateTime &now);
    bool moveLatest(QSqlDatabase &database, const QString &release, qint64 sequence, const QString &client,
                    const OutcomeReport &report, qint64 seconds);

    QString driver;
    QString target;
    QString host;
    int port = -1;
    QString user;
    QString password;
    int keepDays = 30;
    QDateTime lastPrune;
    QStringList names; // the connections made, one a thread
    std::mutex mutex;
    QString error;
};

#include "service/reportstore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

namespace {
constexpr qint64 secondsPerHour = 3600;
constexpr qint64 secondsPerDay = 86400;

const char *const schema[] = {
    ("CREATE TABLE IF NOT EXISTS reports (received BIGINT NOT NULL, release TEXT NOT NULL, sequence BIGINT NOT NULL,"
     " client TEXT NOT NULL, outcome TEXT NOT NULL, installed_sequence BIGINT NOT NULL,"
     " offered_sequence BIGINT NOT NULL, file TEXT NOT NULL, form TEXT NOT NULL, reason TEXT NOT NULL,"
     " bytes BIGINT NOT NULL, duration_ms BIGINT NOT NULL)"),
    "CREATE INDEX IF NOT EXISTS reports_received ON reports (received)",
    ("CREATE TABLE IF NOT EXISTS outcomes (release TEXT NOT NULL, sequence BIGINT NOT NULL, outcome TEXT NOT NULL,"
     " hour BIGINT NOT NULL, n BIGINT NOT NULL, PRIMARY KEY (release, sequence, outcome, hour))"),
};
}

ReportStore::~ReportStore()
{
    for (const QString &name : names)
        QSqlDatabase::removeDatabase(name);
}

QString ReportStore::errorString() const
{
    return error;
}

bool ReportStore::fail(const QString &what, const QString &reason)
{
    error = tr("reports in %1: %2: %3").arg(target, what, reason);
    return false;
}

QSqlDatabase ReportStore::connection()
{
    const QString name = QString("reports-%1").arg(quintptr(QThread::currentThreadId()));
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name);
    QSqlDatabase database = QSqlDatabase::addDatabase(driver, name);
    names << name;
    if (driver == "QPSQL") {
        database.setDatabaseName(target);
        database.setHostName(host);
        database.setPort(port);
        database.setUserName(user);
        database.setPassword(password);
        // Not every start's "already exists" on standard error.
        database.setConnectOptions("options='-c client_min_messages=warning'");
    } else {
        database.setDatabaseName(target);
        // Several threads write one file: a writer waits for another rather than failing.
        database.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
    }
    database.open();
    return database;
}

bool ReportStore::open(const QString &where, int days)
{
    const std::lock_guard<std::mutex> lock(mutex);
    keepDays = days;
    const QUrl url(where);
    if (url.scheme() == "postgresql" || url.scheme() == "postgres") {
        driver = "QPSQL";
        target = url.path().mid(1);
        host = QUrlQuery(url).hasQueryItem("host") ? QUrlQuery(url).queryItemValue("host", QUrl::FullyDecoded) : url.host();
        port = url.port(-1);
        user = url.userName();
        password = url.password();
    } else {
        driver = "QSQLITE";
        target = where;
    }
    if (!QSqlDatabase::isDriverAvailable(driver))
        return fail(tr("opening"), tr("Qt's %1 driver is not installed").arg(driver));
    QSqlDatabase database = connection();
    if (!database.isOpen())
        return fail(tr("opening"), database.lastError().text());
    for (const char *statement : schema) {
        QSqlQuery query(database);
        if (!query.exec(statement))
            return fail(tr("creating the tables"), query.lastError().text());
    }
    return true;
}

bool ReportStore::add(const QString &release, qint64 sequence, const QString &client, const OutcomeReport &report,
                      const QDateTime &at)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const qint64 seconds = at.toSecsSinceEpoch();
    // A null QString binds as NULL, which the columns refuse.
    const auto text = [](const QString &value) { return QVariant(value.isNull() ? QString("") : value); };
    QSqlDatabase database = connection();
    database.transaction();
    QSqlQuery raw(database);
    raw.prepare("INSERT INTO reports VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const QVariant &value : {QVariant(seconds), QVariant(release), QVariant(sequence), QVariant(client),
                                  QVariant(OutcomeReport::outcomeName(report.outcome)), QVariant(report.installedSequence),
                                  QVariant(report.offeredSequence), text(report.file), text(report.form),
                                  text(report.reason), QVariant(report.bytes), QVariant(report.durationMs)})
        raw.addBindValue(value);
    QSqlQuery counted(database);
    counted.prepare("INSERT INTO outcomes VALUES (?, ?, ?, ?, 1) ON CONFLICT (release, sequence, outcome, hour)"
                    " DO UPDATE SET n = outcomes.n + 1");
    for (const QVariant &value : {QVariant(release), QVariant(sequence),
                                  QVariant(OutcomeReport::outcomeName(report.outcome)), QVariant(seconds / secondsPerHour)})
        counted.addBindValue(value);
    if (!raw.exec() || !counted.exec()) {
        const QString reason = (raw.lastError().isValid() ? raw : counted).lastError().text();
        database.rollback();
        return fail(tr("storing a report"), reason);
    }
    if (!database.commit())
        return fail(tr("storing a report"), database.lastError().text());
    // Kept bounded as they come, with no timer of its own.
    if (!lastPrune.isValid() || lastPrune.secsTo(at) >= secondsPerHour)
        return pruneLocked(at);
    return true;
}

HaltRule::Tally ReportStore::tally(const QString &release, qint64 sequence)
{
    const std::lock_guard<std::mutex> lock(mutex);
    QSqlQuery query(connection());
    query.prepare("SELECT outcome, SUM(n) FROM outcomes WHERE release = ? AND sequence = ? GROUP BY outcome");
    query.addBindValue(release);
    query.addBindValue(sequence);
    HaltRule::Tally tally;
    if (!query.exec()) {
        fail(tr("counting"), query.lastError().text());
        return tally;
    }
    while (query.next()) {
        OutcomeReport::Outcome outcome;
        if (!OutcomeReport::outcomeFromName(query.value(0).toString(), &outcome))
            continue;
        const qint64 count = query.value(1).toLongLong();
        if (OutcomeReport::isFailure(outcome))
            tally.failures += count;
        if (OutcomeReport::isFailure(outcome) || outcome == OutcomeReport::Installed)
            tally.total += count;
    }
    return tally;
}

QList<ReportStore::Hour> ReportStore::hours()
{
    const std::lock_guard<std::mutex> lock(mutex);
    QSqlQuery query(connection());
    QList<Hour> list;
    if (!query.exec("SELECT release, sequence, outcome, hour, n FROM outcomes ORDER BY release, sequence, hour, outcome")) {
        fail(tr("reading the counts"), query.lastError().text());
        return list;
    }
    while (query.next())
        list.append({query.value(0).toString(), query.value(1).toLongLong(), query.value(2).toString(),
                     query.value(3).toLongLong(), query.value(4).toLongLong()});
    return list;
}

QList<ReportStore::Reason> ReportStore::reasons(int limit)
{
    const std::lock_guard<std::mutex> lock(mutex);
    QSqlQuery query(connection());
    query.prepare("SELECT release, reason, COUNT(*) AS c FROM reports WHERE reason <> '' GROUP BY release, reason"
                  " ORDER BY c DESC, release, reason LIMIT ?");
    query.addBindValue(limit);
    QList<Reason> list;
    if (!query.exec()) {
        fail(tr("reading the reasons"), query.lastError().text());
        return list;
    }
    while (query.next())
        list.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong()});
    return list;
}

bool ReportStore::prune(const QDateTime &now)
{
    const std::lock_guard<std::mutex> lock(mutex);
    return pruneLocked(now);
}

bool ReportStore::pruneLocked(const QDateTime &now)
{
    lastPrune = now;
    QSqlQuery query(connection());
    query.prepare("DELETE FROM reports WHERE received < ?");
    query.addBindValue(now.toSecsSinceEpoch() - qint64(keepDays) * secondsPerDay);
    if (!query.exec())
        return fail(tr("dropping old reports"), query.lastError().text());
    return true;
}

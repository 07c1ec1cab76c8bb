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
    // Each installation's latest install or failure per release, kept as long as the reports are;
    // "previous" is what the latest replaced, for the counts below to move it.
    ("CREATE TABLE IF NOT EXISTS installations (release TEXT NOT NULL, sequence BIGINT NOT NULL, client TEXT NOT NULL,"
     " outcome TEXT NOT NULL, previous TEXT, received BIGINT NOT NULL, PRIMARY KEY (release, sequence, client))"),
    "CREATE INDEX IF NOT EXISTS installations_received ON installations (received)",
    // The installations per release by their latest outcome, for good: what the halt rule weighs.
    ("CREATE TABLE IF NOT EXISTS latest (release TEXT NOT NULL, sequence BIGINT NOT NULL, outcome TEXT NOT NULL,"
     " n BIGINT NOT NULL, PRIMARY KEY (release, sequence, outcome))"),
};

// Whether the run tried the release: an install or a failure. Nothing newer, a closed window or a
// refused reply say nothing of it, and leave an installation's latest outcome as it was.
bool tried(OutcomeReport::Outcome outcome)
{
    return outcome == OutcomeReport::Installed || OutcomeReport::isFailure(outcome);
}
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
    if (!raw.exec() || !counted.exec() || (tried(report.outcome) && !moveLatest(database, release, sequence, client, report, seconds))) {
        const QString reason = raw.lastError().isValid() ? raw.lastError().text()
            : counted.lastError().isValid()              ? counted.lastError().text()
                                                         : error;
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

// One installation, one vote: a machine whose update fails at every start of the main application
// reports each time, and counting each report would let it halt a rollout alone. Its latest outcome
// stands, so a retry that installs takes its failure back. The upsert holds the installation's row
// until the commit, so two serve processes taking its reports at once still move it once each.
bool ReportStore::moveLatest(QSqlDatabase &database, const QString &release, qint64 sequence, const QString &client,
                             const OutcomeReport &report, qint64 seconds)
{
    const QString outcome = OutcomeReport::outcomeName(report.outcome);
    QSqlQuery upsert(database);
    // An older report arriving late, from another serve, does not undo a newer one.
    upsert.prepare("INSERT INTO installations VALUES (?, ?, ?, ?, NULL, ?) ON CONFLICT (release, sequence, client)"
                   " DO UPDATE SET previous = installations.outcome, outcome = excluded.outcome, received = excluded.received"
                   " WHERE excluded.received >= installations.received RETURNING previous");
    for (const QVariant &value : {QVariant(release), QVariant(sequence), QVariant(client), QVariant(outcome), QVariant(seconds)})
        upsert.addBindValue(value);
    if (!upsert.exec()) {
        error = upsert.lastError().text();
        return false;
    }
    if (!upsert.next())
        return true; // a newer report stands
    const QString previous = upsert.value(0).toString();
    if (previous == outcome)
        return true;
    QSqlQuery count(database);
    count.prepare("INSERT INTO latest VALUES (?, ?, ?, 1) ON CONFLICT (release, sequence, outcome) DO UPDATE SET n = latest.n + 1");
    for (const QVariant &value : {QVariant(release), QVariant(sequence), QVariant(outcome)})
        count.addBindValue(value);
    QSqlQuery uncount(database);
    uncount.prepare("UPDATE latest SET n = n - 1 WHERE release = ? AND sequence = ? AND outcome = ?");
    for (const QVariant &value : {QVariant(release), QVariant(sequence), QVariant(previous)})
        uncount.addBindValue(value);
    if (!count.exec() || (!previous.isEmpty() && !uncount.exec())) {
        error = (count.lastError().isValid() ? count : uncount).lastError().text();
        return false;
    }
    return true;
}

HaltRule::Tally ReportStore::tally(const QString &release, qint64 sequence)
{
    const QList<Installations> list = installations(release, sequence);
    return list.isEmpty() ? HaltRule::Tally() : list.first().tally;
}

QList<ReportStore::Installations> ReportStore::installations(const QString &release, qint64 sequence)
{
    const std::lock_guard<std::mutex> lock(mutex);
    QSqlQuery query(connection());
    query.prepare(release.isNull() ? "SELECT release, sequence, outcome, n FROM latest ORDER BY release, sequence"
                                   : "SELECT release, sequence, outcome, n FROM latest WHERE release = ? AND sequence = ?");
    if (!release.isNull()) {
        query.addBindValue(release);
        query.addBindValue(sequence);
    }
    QList<Installations> list;
    if (!query.exec()) {
        fail(tr("counting"), query.lastError().text());
        return list;
    }
    while (query.next()) {
        OutcomeReport::Outcome outcome;
        if (!OutcomeReport::outcomeFromName(query.value(2).toString(), &outcome))
            continue;
        if (list.isEmpty() || list.last().release != query.value(0).toString() || list.last().sequence != query.value(1).toLongLong())
            list.append({query.value(0).toString(), query.value(1).toLongLong(), {}});
        const qint64 count = query.value(3).toLongLong();
        if (OutcomeReport::isFailure(outcome))
            list.last().tally.failures += count;
        list.last().tally.total += count;
    }
    return list;
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
    const qint64 oldest = now.toSecsSinceEpoch() - qint64(keepDays) * secondsPerDay;
    query.addBindValue(oldest);
    // Which installation had which release goes with the reports; the counts stay, and one that
    // reports on the same release again after that counts anew.
    QSqlQuery forget(connection());
    forget.prepare("DELETE FROM installations WHERE received < ?");
    forget.addBindValue(oldest);
    if (!query.exec() || !forget.exec())
        return fail(tr("dropping old reports"), (query.lastError().isValid() ? query : forget).lastError().text());
    return true;
}

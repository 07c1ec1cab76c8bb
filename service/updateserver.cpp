#include "service/updateserver.h"

#include "protocol/payloadcrypto.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// What the log line of the request being handled on this worker adds to the HTTP facts: the
// query's outcome or the reason of a refusal. httplib runs a request's handler and its logger on
// the same thread. Each handler starts it afresh: an answer that never went out (a connection cut
// part way through its body) leaves no line, and its note must not end up on the next request's.
thread_local QString currentNote;

void refuse(httplib::Response &response, int status, const QString &reason)
{
    currentNote = reason;
    response.status = status;
    response.set_content(reason.toStdString() + "\n", "text/plain");
}

// Whitespace is tolerated, as the updater's own hex decoder does.
bool isHex(const QString &text)
{
    QString digits = text;
    digits.remove(QRegularExpression("\\s"));
    return !digits.isEmpty() && digits.size() % 2 == 0
        && QRegularExpression("^[0-9A-Fa-f]*$").match(digits).hasMatch();
}

// Enough to tell one user's requests from another's in a log without keeping the token.
QString fingerprint(const QString &token)
{
    return QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex().left(8));
}

// Percent-encoded, so that a path cannot start a line of its own in the log.
QString printable(const std::string &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(text), "/"));
}

// Changes whenever either listing file is replaced or rewritten, so that what was read from them
// can be told from what they hold now without reading them.
QString stampOf(const QString &dir)
{
    QString stamp;
    for (const char *name : {ReleaseFolder::listingName, ReleaseFolder::signedListingName}) {
        struct stat info{};
        if (::stat(QFile::encodeName(dir + "/" + name).constData(), &info) != 0)
            stamp += "-;";
        else
            stamp += QString("%1:%2:%3.%4;").arg(info.st_ino).arg(info.st_size).arg(info.st_mtim.tv_sec).arg(info.st_mtim.tv_nsec);
    }
    return stamp;
}

} // namespace

UpdateServer::UpdateServer(const QString &releaseDir, const ServiceKeyPair &pair)
    : releaseDir(releaseDir), keyPair(pair)
{
    for (int i = 0; i < 8; ++i)
        clientKey += QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    http.setMaxBodyBytes(maxRequestBody);
    http.post("/api/upgrade", [this](const httplib::Request &request, httplib::Response &response) {
        answerUpgrade(request, response);
    });
    http.post("/api/report", [this](const httplib::Request &request, httplib::Response &response) {
        answerReport(request, response);
    });
    http.getFile("/files/(.*)", [this](const httplib::Request &request, httplib::Response &response) {
        return serveFile(request, response);
    });
    http.getFile("/releases/([^/]+)/(.*)", [this](const httplib::Request &request, httplib::Response &response) {
        return serveFile(request, response);
    });
    // Called only for answers without a body, so for requests no handler of ours has refused.
    http.setErrorHandler([](const httplib::Request &, httplib::Response &response) {
        if (response.status == 413)
            refuse(response, 400, tr("the request body is over %1 bytes").arg(maxRequestBody));
        else if (response.status == 431)
            refuse(response, 431, tr("the request headers are over %1 bytes").arg(BoundedHttpServer::maxHeaderBytes));
        else if (response.status == 416)
            refuse(response, 416, tr("the range lies outside the file"));
        else
            refuse(response, response.status, response.status == 404 ? tr("no such path") : tr("malformed request"));
    });
    http.setLogger([this](const httplib::Request &request, const httplib::Response &response) {
        logRequest(request, response);
    });
    http.setRefusalLogger([this](const std::string &address) {
        log(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + " " + QString::fromStdString(address)
            + tr(" - - 503 - - too many connections from this address"));
    });
}

UpdateServer::~UpdateServer()
{
    if (logFile)
        std::fclose(logFile);
}

bool UpdateServer::openLogFile(const QString &path)
{
    logFile = std::fopen(QFile::encodeName(path).constData(), "a");
    if (!logFile)
        error = tr("cannot open %1: %2").arg(path, qt_error_string(errno));
    return logFile;
}

void UpdateServer::log(const QString &line) const
{
    const QByteArray bytes = line.toUtf8() + '\n';
    const std::lock_guard<std::mutex> lock(logMutex);
    for (std::FILE *file : {stderr, logFile}) {
        if (file) {
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
            std::fflush(file);
        }
    }
}

void UpdateServer::logRequest(const httplib::Request &request, const httplib::Response &response)
{
    const qint64 microseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - BoundedHttpServer::requestStart()).count();
    QString client = QString::fromStdString(request.remote_addr);
    if (request.has_header("X-Forwarded-For"))
        client += tr(" (for %1)").arg(printable(request.get_header_value("X-Forwarded-For")));
    const std::string length = response.get_header_value("Content-Length");
    // Joined, not formatted: a percent-encoded path would take the place of a later "%1".
    log(QStringList{QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), client,
                    QString::fromStdString(request.method), printable(request.path), QString::number(response.status),
                    length.empty() ? QString("0") : QString::fromStdString(length),
                    QString::number(microseconds / 1000.0, 'f', 1) + "ms",
                    currentNote.isEmpty() ? QString("-") : currentNote}
            .join(' '));
    currentNote.clear();
}

void UpdateServer::setRollout(std::shared_ptr<const Rollout> next)
{
    // Ready before the first query, for a file fetched through another process's answer.
    for (const Rollout::Release &other : next ? next->releases() : QList<Rollout::Release>()) {
        QString unused; // the rollout was checked as it was read
        readServed(other.dir, other.downloadUrl, &unused);
    }
    const std::lock_guard<std::mutex> lock(rolloutMutex);
    rollout = std::move(next);
}

std::shared_ptr<const UpdateServer::Served> UpdateServer::lastServed(const QString &dir) const
{
    const std::lock_guard<std::mutex> lock(servedMutex);
    return served.value(dir);
}

int UpdateServer::stableSequence() const
{
    std::shared_ptr<const Served> stable = lastServed(releaseDir);
    QString unused; // serve checked it as it started
    if (!stable) // a hang-up before the first query
        stable = readServed(releaseDir, downloadUrl, &unused);
    return stable ? ReleaseFolder::sequenceOf(stable->listing) : 0;
}

std::shared_ptr<const UpdateServer::Served> UpdateServer::readServed(const QString &dir, const QString &url,
                                                                     QString *error) const
{
    auto next = std::make_shared<Served>();
    next->stamp = stampOf(dir);
    {
        const std::lock_guard<std::mutex> lock(servedMutex);
        const std::shared_ptr<const Served> last = served.value(dir);
        const QElapsedTimer checked = confirmed.value(dir);
        const bool expired = last && last->expires.isValid() && last->expires <= QDateTime::currentDateTimeUtc();
        if (last && last->stamp == next->stamp && checked.isValid() && !checked.hasExpired(recheckMs) && !expired)
            return last;
    }
    QString reason;
    bool good = ReleaseFolder::readChecked(dir, releaseKeys, url, &next->listing, &reason);
    std::shared_ptr<const Served> last = lastServed(dir);
    if (good && last && last->stamp == next->stamp && last->listing.digest == next->listing.digest) {
        const std::lock_guard<std::mutex> lock(servedMutex);
        confirmed[dir].start();
        return last;
    }
    const int sequence = ReleaseFolder::sequenceOf(next->listing);
    const int before = last ? ReleaseFolder::sequenceOf(last->listing) : 0;
    // Every updater that has the one served would refuse it.
    if (good && sequence < before) {
        good = false;
        reason = (next->listing.release.isEmpty() ? tr("it is not signed, and the listing served is signed as sequence %1")
                                                        .arg(before)
                                                  : tr("its signed sequence %1 is below the %2 served").arg(sequence).arg(before))
            + tr("; publish it again with update-service publish %1 --sign release-private.der --sequence %2")
                  .arg(dir)
                  .arg(before + 1);
    }
    QString line;
    {
        const std::lock_guard<std::mutex> lock(servedMutex);
        if (!good) {
            if (refusals.value(dir) != reason)
                line = (last ? tr("listing of %1 not served, the last good one stays: %2")
                             : tr("listing of %1 not served: %2"))
                           .arg(dir, reason);
            refusals.insert(dir, reason);
        } else {
            for (const QJsonValue &entry : next->listing.files)
                next->files.insert(entry["file_path"].toString(),
                                   {entry["sha256"].toString(), qint64(entry["file_size"].toDouble(-1))});
            // The forms are named in the signed listing alone.
            for (const QJsonValue &entry : ReleaseFolder::releaseMember(next->listing.release, "files").toArray()) {
                QJsonArray forms = entry["patches"].toArray();
                for (const QJsonValue &form : entry["executable_patches"].toArray())
                    forms.append(form);
                forms.append(entry["compressed"]);
                for (const QJsonValue &form : forms) {
                    if (form.isObject())
                        next->files.insert(form["path"].toString(),
                                           {form["sha256"].toString(), qint64(form["size"].toDouble(-1))});
                }
            }
            if (!next->listing.release.isEmpty())
                next->expires = QDateTime::fromString(ReleaseFolder::releaseMember(next->listing.release, "expires").toString(),
                                                      Qt::ISODate);
            if (refusals.remove(dir) > 0)
                line = tr("listing of %1 served again: sequence %2").arg(dir).arg(sequence);
            served.insert(dir, next);
            confirmed[dir].start();
            last = next;
        }
    }
    if (!line.isEmpty())
        log(line);
    if (!last)
        *error = reason;
    return last;
}

std::shared_ptr<const Rollout> UpdateServer::currentRollout() const
{
    const std::lock_guard<std::mutex> lock(rolloutMutex);
    return rollout;
}

int UpdateServer::bind(const QString &host, int port)
{
    const std::string address = host.toStdString();
    errno = 0;
    const int bound = http.bind(address, port);
    if (bound < 0) {
        error = errno != 0 ? qt_error_string(errno) : tr("not an address of this host");
        return -1;
    }
    ownUrl = QString("http://%1:%2").arg(host).arg(bound);
    if (downloadUrl.isEmpty())
        downloadUrl = ownUrl + "/files";
    return bound;
}

bool UpdateServer::openRequest(const httplib::Request &request, httplib::Response &response, std::string *requestKey,
                               QJsonObject *inner) const
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(request.body));
    if (!document.isObject()) {
        refuse(response, 400, tr("the body is not a JSON object"));
        return false;
    }
    for (const char *member : {"key", "value"}) {
        if (!document.object().value(member).isString()) {
            refuse(response, 400, tr("the member \"%1\" is missing").arg(member));
            return false;
        }
        if (!isHex(document.object().value(member).toString())) {
            refuse(response, 400, tr("the member \"%1\" is not hex").arg(member));
            return false;
        }
    }
    if (!keyPair.decryptRsaOaepHex(document.object().value("key").toString().toStdString(), requestKey)) {
        refuse(response, 400, tr("the member \"key\" does not decrypt"));
        return false;
    }
    const std::string text = decryptAesCfbHex(*requestKey, requestIvText, document.object().value("value").toString().toStdString());
    *inner = QJsonDocument::fromJson(QByteArray(text.c_str())).object();
    return true;
}

void UpdateServer::answer(httplib::Response &response, const std::string &requestKey, const QJsonObject &reply,
                          const QString &note) const
{
    // Compact JSON escapes every control character, so the text has no NUL to cut it short.
    std::string text = QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString();
    if (reply.contains(replyMacMember)) {
        text = sealReplyMac(requestKey, text);
        if (text.empty())
            return refuse(response, 500, tr("the reply cannot be authenticated: the listing names \"%1\"")
                                             .arg(replyMacMember));
    }
    currentNote = note;
    response.set_content(encryptAesCfbHex(requestKey, requestIvText, text), "text/plain");
}

void UpdateServer::answerUpgrade(const httplib::Request &request, httplib::Response &response) const
{
    currentNote.clear();
    std::string requestKey;
    QJsonObject innerObject;
    if (!openRequest(request, response, &requestKey, &innerObject))
        return;
    if (!innerObject.value("token").isString() || !innerObject.value("system_type").isString())
        return refuse(response, 400, tr("the member \"value\" does not decrypt to a request"));

    QString note;
    const QJsonObject reply = replyFor(innerObject.value("token").toString(), &note);
    if (reply.isEmpty())
        return refuse(response, 500, note);
    answer(response, requestKey, reply, note);
}

void UpdateServer::setReports(ReportStore *store, const QString &path)
{
    reports = store;
    rolloutPath = path;
}

qint64 UpdateServer::servedSequence(const QString &name) const
{
    if (name == Rollout::stableName)
        return stableSequence();
    QString dir;
    if (const std::shared_ptr<const Rollout> rollout = currentRollout()) {
        for (const Rollout::Release &other : rollout->releases()) {
            if (other.name == name)
                dir = other.dir;
        }
    }
    const std::shared_ptr<const Served> served = dir.isEmpty() ? nullptr : lastServed(dir);
    return served ? ReleaseFolder::sequenceOf(served->listing) : -1;
}

void UpdateServer::answerReport(const httplib::Request &request, httplib::Response &response)
{
    currentNote.clear();
    std::string requestKey;
    QJsonObject inner;
    if (!openRequest(request, response, &requestKey, &inner))
        return;
    OutcomeReport report;
    if (!reports)
        return refuse(response, 404, tr("no reports are taken"));
    if (!OutcomeReport::fromJson(inner, &report))
        return refuse(response, 400, tr("the member \"value\" does not decrypt to a report"));
    // NAME:SEQUENCE:CLIENT, as replyFor() handed it out.
    const QStringList ticket = report.ticket.split(':');
    bool sequenceOk = false;
    const qint64 sequence = ticket.value(1).toLongLong(&sequenceOk);
    static const QRegularExpression clientPattern("^[0-9a-f]{64}$");
    if (ticket.size() != 3 || !sequenceOk || !clientPattern.match(ticket[2]).hasMatch())
        return refuse(response, 400, tr("the report's ticket is malformed"));
    // -1 is what servedSequence() says of a release it does not serve.
    if (sequence < 0 || servedSequence(ticket[0]) != sequence)
        return refuse(response, 400, tr("a report on %1 at sequence %2, which is not served").arg(ticket[0]).arg(sequence));
    if (!reports->add(ticket[0], sequence, ticket[2], report, QDateTime::currentDateTimeUtc())) {
        log(reports->errorString());
        return refuse(response, 503, tr("the report could not be stored"));
    }
    if (ticket[0] == Rollout::rolloutName)
        checkHalt();
    answer(response, requestKey, {{"stored", true}, {replyMacMember, QString(replyMacHexLength, '0')}},
           tr("report release=%1 outcome=%2").arg(ticket[0], OutcomeReport::outcomeName(report.outcome)));
}

// The rule is checked with every report on the rollout; once it holds, the rollout reaches nobody
// new until the vendor changes the rollout file.
void UpdateServer::checkHalt()
{
    const std::shared_ptr<const Rollout> rollout = currentRollout();
    if (!rollout || !rollout->haltRule() || rollout->halted() || rollout->releases().isEmpty()
        || rollout->releases().first().name != Rollout::rolloutName)
        return;
    const HaltRule::Tally tried = reports->tally(Rollout::rolloutName, servedSequence(Rollout::rolloutName));
    const HaltRule::Tally stable = reports->tally(Rollout::stableName, servedSequence(Rollout::stableName));
    QString why;
    if (!rollout->haltRule()->exceeded(tried, stable, &why))
        return;
    {
        const std::lock_guard<std::mutex> lock(rolloutMutex);
        if (this->rollout != rollout)
            return; // read again or halted meanwhile
        auto halted = std::make_shared<Rollout>(*rollout);
        halted->halt();
        this->rollout = halted;
    }
    log(tr("rollout halted by its rule: %1").arg(why));
    QSaveFile side(Rollout::haltFileOf(rolloutPath));
    const QByteArray text = QJsonDocument(QJsonObject{{"rollout_sha256", QString::fromLatin1(rollout->fileDigest().toHex())},
                                                      {"halted", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                                                      {"reason", why}})
                                .toJson();
    if (!side.open(QIODevice::WriteOnly) || side.write(text) != text.size() || !side.commit())
        log(tr("cannot write %1: %2; the halt holds only until serve restarts").arg(side.fileName(), side.errorString()));
}

QJsonObject UpdateServer::replyFor(const QString &token, QString *note) const
{
    if (token.isEmpty()) {
        *note = tr("rejected: empty token");
        return {{"error_code", 500}};
    }
    if (acceptedTokens && !acceptedTokens->contains(token)) {
        *note = tr("rejected token=%1: not in the token list").arg(fingerprint(token));
        return {{"error_code", 500}};
    }
    const std::shared_ptr<const Rollout> rollout = currentRollout();
    const Rollout::Release *chosen = rollout ? rollout->choose(token) : nullptr;
    const std::shared_ptr<const Served> current = chosen ? readServed(chosen->dir, chosen->downloadUrl, note)
                                                         : readServed(releaseDir, downloadUrl, note);
    if (!current)
        return {};
    const ReleaseFolder::Listing &listing = current->listing;
    // Every listed entry goes out as written: judging the paths is the updater's job.
    QJsonArray files;
    for (const QJsonValue &entry : listing.files) {
        QJsonObject file = entry.toObject();
        if (entry.isObject())
            file.insert("file_name", file.value("file_path").toString().section('/', -1));
        files.append(entry.isObject() ? QJsonValue(file) : entry);
    }
    *note = tr("accepted token=%1 files=%2 release=%3")
                .arg(fingerprint(token))
                .arg(files.size())
                .arg(chosen ? chosen->name : Rollout::stableName);
    const QString url = !chosen ? downloadUrl
        : !chosen->downloadUrl.isEmpty() ? chosen->downloadUrl : ownUrl + "/releases/" + listing.digest;
    // Its zeros become the MAC once the reply is written out.
    QJsonObject reply{{"download_url", url}, {"files", files},
                      {replyMacMember, QString(replyMacHexLength, '0')}};
    if (reports) {
        // The token itself never comes back: only the keyed hash the rollout cuts its share by.
        const QByteArray key = rollout && !rollout->seedText().isEmpty() ? rollout->seedText() : clientKey;
        const QByteArray client = QMessageAuthenticationCode::hash(token.toUtf8(), key, QCryptographicHash::Sha256).toHex();
        reply.insert(OutcomeReport::urlMember, "/api/report");
        reply.insert(OutcomeReport::ticketMember, QString("%1:%2:%3")
                                                      .arg(chosen ? chosen->name : Rollout::stableName)
                                                      .arg(ReleaseFolder::sequenceOf(listing))
                                                      .arg(QString::fromLatin1(client)));
    }
    if (!listing.release.isEmpty()) {
        reply.insert("release", listing.release);
        reply.insert("release_signature", listing.signature);
        if (listing.signatures.size() > 1)
            reply.insert("release_signatures", QJsonArray::fromStringList(listing.signatures));
    }
    return reply;
}

int UpdateServer::serveFile(const httplib::Request &request, httplib::Response &response) const
{
    currentNote.clear();
    QString dir, relativePath = QString::fromStdString(request.matches[request.matches.size() - 1]);
    if (request.matches.size() == 2) {
        dir = releaseDir;
    } else if (const std::shared_ptr<const Rollout> rollout = currentRollout()) {
        // By digest only: a name anyone can guess would hand a channel's build to anyone. A
        // republished listing moves its files to its new digest; the old one leads nowhere.
        const QString digest = QString::fromStdString(request.matches[1]);
        for (const Rollout::Release &other : rollout->releases()) {
            const std::shared_ptr<const Served> current = lastServed(other.dir);
            if (dir.isEmpty() && other.downloadUrl.isEmpty() && current && current->listing.digest == digest)
                dir = other.dir;
        }
    }
    const QString path = dir.isEmpty() ? QString() : ReleaseFolder(dir).resolve(relativePath);
    const int fd = path.isEmpty() ? -1 : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        refuse(response, 404, tr("no such file"));
        return -1;
    }
    response.set_header("Content-Type", "application/octet-stream");
    // Vouched for only while the listing is the one read: a listing published since may name other
    // bytes under the same path.
    std::shared_ptr<const Served> current = lastServed(dir);
    QString unused; // the file goes out anyway, only without its ETag
    if (!current && dir == releaseDir)
        current = readServed(dir, downloadUrl, &unused);
    const auto listed = current ? current->files.constFind(relativePath) : QHash<QString, Served::File>::const_iterator();
    static const QRegularExpression digestPattern("^[0-9a-f]{64}$");
    struct stat info{};
    if (current && listed != current->files.cend() && digestPattern.match(listed->sha256).hasMatch()
        && fstat(fd, &info) == 0 && info.st_size == listed->size && current->stamp == stampOf(dir))
        response.set_header("ETag", ("\"" + listed->sha256 + "\"").toStdString());
    return fd;
}

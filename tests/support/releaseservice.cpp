#include "tests/support/releaseservice.h"
#include "service/releasesigner.h"
#include "tests/support/testfiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <csignal>

ReleaseService::ReleaseService(const QString &releaseDir)
    : dir(releaseDir)
{
}

ReleaseService::~ReleaseService()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
}

bool ReleaseService::publish(const QList<File> &files)
{
    QJsonArray list, signedList;
    for (const File &file : files) {
        if (file.present && !writeFile(dir + "/" + file.path, file.bytes))
            return false;
        if (file.executable && !QFile::setPermissions(dir + "/" + file.path, QFile::permissions(dir + "/" + file.path)
                                                                               | QFile::ExeOwner))
            return false;
        list.append(QJsonObject{{"file_path", file.path},
                                {"file_version", file.version},
                                {"modified_time", file.modifiedTime},
                                {"file_size", file.bytes.size()},
                                {"sha256", QString::fromLatin1(
                                               QCryptographicHash::hash(file.bytes, QCryptographicHash::Sha256).toHex())}});
        QJsonObject signedEntry = list.last().toObject();
        if (file.executable)
            signedEntry.insert("executable", true);
        signedList.append(signedEntry);
    }
    // Signed with the demo release key, as 'publish --sign' would, so that an updater that trusts it
    // takes the release; the service checks that both listings name the same files.
    const QJsonObject release{{"sequence", 1},
                              {"expires", QDateTime::currentDateTimeUtc().addDays(1).toString("yyyy-MM-ddThh:mm:ss'Z'")},
                              {"files", signedList}};
    const QByteArray text = QJsonDocument(release).toJson(QJsonDocument::Compact);
    const ReleaseSigner signer = ReleaseSigner::fromPrivateKeyDer(readFile(RELEASE_KEY_FILE).toStdString());
    const QJsonObject signedListing{{"release", QString::fromUtf8(text)},
                                    {"release_signature", QString::fromStdString(signer.sign(text.toStdString()))}};
    return signer.isValid() && publishListing(list)
        && writeFile(dir + "/release-signed.json", QJsonDocument(signedListing).toJson());
}

bool ReleaseService::publishListing(const QJsonArray &entries)
{
    return writeFile(dir + "/release.json", QJsonDocument(QJsonObject{{"files", entries}}).toJson());
}

void ReleaseService::hangUp()
{
    ::kill(pid_t(process.processId()), SIGHUP);
}

QByteArray ReleaseService::readStandardError()
{
    const QByteArray fresh = readFile(dir + "/../service.err").mid(int(errorRead));
    errorRead += fresh.size();
    return fresh;
}

bool ReleaseService::start(const QStringList &extraArguments, const QString &keyFile)
{
    // Into a file: a pipe nobody drains while a test waits on something else fills up, and the
    // service then stalls on its next log line.
    process.setStandardErrorFile(dir + "/../service.err");
    errorRead = 0;
    process.start(UPDATE_SERVICE_BIN, QStringList{"serve", "--release", dir, "--key", keyFile,
                                                  "--listen", "127.0.0.1:0"} + extraArguments);
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    while (!output.contains('\n') && clock.elapsed() < 10000 && process.waitForReadyRead(1000))
        output += process.readAllStandardOutput();
    const QRegularExpressionMatch match =
        QRegularExpression("^listening on 127\\.0\\.0\\.1:(\\d+)\n").match(QString::fromUtf8(output));
    boundPort = match.hasMatch() ? match.captured(1).toInt() : 0;
    if (!boundPort)
        qWarning().noquote() << "update-service did not start:" << readFile(dir + "/../service.err");
    return boundPort != 0;
}

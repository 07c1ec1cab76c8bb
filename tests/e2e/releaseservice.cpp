#include "tests/e2e/releaseservice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

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
    QJsonArray list;
    for (const File &file : files) {
        if (file.present && !writeFile(dir + "/" + file.path, file.bytes))
            return false;
        list.append(QJsonObject{{"file_path", file.path},
                                {"file_version", file.version},
                                {"modified_time", file.modifiedTime}});
    }
    return writeFile(dir + "/release.json", QJsonDocument(QJsonObject{{"files", list}}).toJson());
}

bool ReleaseService::start(const QStringList &extraArguments)
{
    process.start(UPDATE_SERVICE_BIN, QStringList{"serve", "--release", dir, "--key", SERVICE_KEY_FILE,
                                                  "--listen", "127.0.0.1:0"} + extraArguments);
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    while (!output.contains('\n') && clock.elapsed() < 10000 && process.waitForReadyRead(1000))
        output += process.readAllStandardOutput();
    const QRegularExpressionMatch match =
        QRegularExpression("listening on (127\\.0\\.0\\.1:\\d+)").match(QString::fromUtf8(output));
    if (match.hasMatch())
        upgradeUrl = "http://" + match.captured(1) + "/api/upgrade";
    return match.hasMatch();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
        && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool pointConfigAt(const QString &updaterDir, const QString &endpoint)
{
    return writeFile(updaterDir + "/config.xml", "<Config><Update>" + endpoint.toUtf8() + "</Update></Config>\n");
}

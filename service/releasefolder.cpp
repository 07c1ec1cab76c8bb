#include "service/releasefolder.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

#include <map>

ReleaseFolder::ReleaseFolder(const QString &dir)
    : root(QFileInfo(dir).isDir() ? QFileInfo(dir).canonicalFilePath() : QString())
{
}

QString ReleaseFolder::listingPath() const
{
    return root + "/" + listingName;
}

QString ReleaseFolder::resolve(const QString &relativePath) const
{
    if (!exists() || relativePath.isEmpty() || QDir::isAbsolutePath(relativePath))
        return {};
    const QFileInfo info(root + "/" + relativePath);
    const QString path = info.canonicalFilePath();
    if (!info.isFile() || !path.startsWith(root + "/") || path == listingPath())
        return {};
    return path;
}

bool ReleaseFolder::readListing(QJsonArray *entries, QString *error) const
{
    QFile file(listingPath());
    if (!file.open(QIODevice::ReadOnly)) {
        *error = tr("cannot read %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.object().value("files").isArray()) {
        *error = tr("%1 holds no \"files\" array").arg(file.fileName());
        return false;
    }
    *entries = document.object().value("files").toArray();
    return true;
}

bool ReleaseFolder::publish(const QString &version, QString *error) const
{
    if (!exists()) {
        *error = tr("the release folder does not exist");
        return false;
    }
    if (!version.isEmpty() && !QRegularExpression("^\\d+\\.\\d+\\.\\d+$").match(version).hasMatch()) {
        *error = tr("version \"%1\" is not of the form X.Y.Z").arg(version);
        return false;
    }

    std::map<QString, QString> listedVersions;
    QJsonArray existing;
    QString ignored;
    if (readListing(&existing, &ignored)) {
        for (const QJsonValue &entry : existing)
            listedVersions[entry["file_path"].toString()] = entry["file_version"].toString();
    }

    // Sorted by path, the order in which the updater handles the files.
    std::map<QString, QJsonObject> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relativePath = QDir(root).relativeFilePath(it.next());
        if (resolve(relativePath).isEmpty())
            continue; // the listing itself, or a link that leads out of the folder
        const auto listed = listedVersions.find(relativePath);
        const QString fileVersion = !version.isEmpty() ? version
                                  : listed != listedVersions.end() ? listed->second : QString();
        if (fileVersion.isEmpty()) {
            *error = tr("%1 is not listed yet: give its version with --version").arg(relativePath);
            return false;
        }
        files[relativePath] = QJsonObject{
            {"file_path", relativePath},
            {"file_version", fileVersion},
            {"modified_time", it.fileInfo().lastModified().toString(timeFormat)}};
    }

    QJsonArray listing;
    for (const auto &file : files)
        listing.append(file.second);
    QSaveFile out(listingPath());
    if (!out.open(QIODevice::WriteOnly)
        || out.write(QJsonDocument(QJsonObject{{"files", listing}}).toJson()) < 0 || !out.commit()) {
        *error = tr("cannot write %1: %2").arg(listingPath(), out.errorString());
        return false;
    }
    return true;
}

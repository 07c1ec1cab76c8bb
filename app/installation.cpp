#include "app/installation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <iostream>

#include "app/updaterenvironment.h"
#include "manifest/versionmanifest.h"
#include "protocol/pathcheck.h"
#include "updaterconfig.h"

namespace Installation {

QString updaterDirectory()
{
    const QString &configured = UpdaterEnvironment::current().updaterDirectory;
    return configured.isEmpty() ? QCoreApplication::applicationDirPath() : configured;
}

QString installationDirectory()
{
    return updaterDirectory() + "/../";
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith('/') || path.startsWith('\\') || QDir::isAbsolutePath(path))
        return false;
    // Checked on every platform: a release is made once and installed on Windows. A line break
    // would not survive version.xml's CR LF line ends, a NUL cuts the name short, Windows refuses
    // the others in names, and a colon names a drive or an alternate data stream.
    static const QRegularExpression forbidden("[\\x00-\\x1f<>:\"|?*]");
    if (forbidden.match(path).hasMatch())
        return false;
    // Windows drops trailing dots and blanks of a name, so ".. " and "..." climb as ".." does.
    static const QRegularExpression separators("[/\\\\]");
    static const QRegularExpression parent("^[. ]*\\.\\.[. ]*$");
    // Device names: "nul.txt" or "CON " opens the device, not a file, in any folder.
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|CLOCK\\$|COM[0-9\u00b9\u00b2\u00b3]|LPT[0-9\u00b9\u00b2\u00b3]) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    // Other names for another file: Windows drops a trailing dot or blank ("Trelvox.exe." is
    // Trelvox.exe), and "TRELVO~1.EXE" may be the short name of any long one.
    static const QRegularExpression alias("([. ]$)|(~[0-9]+(\\.[^.]*)?$)");
    const QStringList segments = path.split(separators);
    for (const QString &segment : segments) {
        if (parent.match(segment).hasMatch() || device.match(segment).hasMatch()
            || (segment != "." && alias.match(segment).hasMatch()))
            return false;
    }
    // "", "." or "a/" name a folder, never the file to download.
    return segments.last() != "" && segments.last() != ".";
}

bool isReservedPath(const QString &path)
{
    // Compared as Windows would open them: any case, either separator, "." and doubled ones dropped.
    const QString name = QDir::cleanPath(QString(path).replace('\\', '/')).toLower();
    const QString updater = QFileInfo(updaterDirectory()).fileName().toLower();
    if (name == QLatin1String("release.state") || name.startsWith(QLatin1String("release.state.")))
        return true;
    for (const QString &own : {updater + "/install.journal", updater + "/replaced"}) {
        if (name == own || name.startsWith(own + '.') || !pathBelow(name, own).isEmpty())
            return true;
    }
    return false;
}

QMap<QString, RemoteFileEntry> readInstalledState(const QString &manifestPath, const QString &installDir)
{
    QMap<QString, RemoteFileEntry> installed;
    const VersionManifest manifest = Manifest::readVersionManifest(manifestPath);
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it)
        installed.insert(it.key(), RemoteFileEntry(it.value(), QFileInfo(installDir + it.key()).lastModified()));
    return installed;
}

QString readUpdateUrl(const UpdaterConfig &config)
{
    const char *pattern = config.problem == ConfigProblem::CannotOpen ? QT_TR_NOOP("open %1 failed!")
                        : config.problem == ConfigProblem::NotXml     ? QT_TR_NOOP("open %1 as xml failed!")
                                                                      : nullptr;
    if (pattern)
        QMessageBox::information(nullptr, QObject::tr("Error"), QObject::tr(pattern).arg("config.xml"));
    else
        std::cout << config.rootName.toLocal8Bit().constData() << std::endl;
    return config.update;
}

QString upgradeEndpoint(const UpdaterConfig &config)
{
    const QString configured = readUpdateUrl(config);
    if (!configured.isEmpty())
        return configured;
    return builtInEndpoint(QStringLiteral(UPDATER_DEFAULT_URL), QStringLiteral(UPDATER_DEFAULT_HOST));
}

QString builtInEndpoint(const QString &url, const QString &host)
{
    return url.isEmpty() ? QStringLiteral("http://%1:8094/api/upgrade").arg(host) : url;
}

} // namespace Installation

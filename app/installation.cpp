#include "app/installation.h"

#include <QDir>
#include <QRegularExpression>

#include "app/updaterenvironment.h"

QString updaterDirectory()
{
    return UpdaterEnvironment::current().updaterDir();
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

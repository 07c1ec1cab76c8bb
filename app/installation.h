#pragma once

#include <QMap>
#include <QString>

#include "protocol/configfile.h"
#include "protocol/remotefileentry.h"

namespace Installation {

// Every file of the installation is addressed from the updater's own folder: the installation
// directory is that folder + "/../", kept as text without normalisation.
QString updaterDirectory();
QString installationDirectory();

// Whether a path named by the update service stays inside the installation once appended to it
// and names a plain file on every platform: not empty, not absolute (also not "/" or "\" first),
// no ".." segments, no control characters or characters Windows refuses in names (<>:"|?*), and
// no device names (CON, NUL.txt, com1 ...), and ending in a name (not in "." or a separator).
bool isSafeRelativePath(const QString &path);

// Whether the path names one of the updater's own records (the install journal, the old copies,
// the release state), which no release may write: the next start acts on them as an administrator.
bool isReservedPath(const QString &path);

// Each file version.xml lists, with the time the installed copy was last modified.
QMap<QString, RemoteFileEntry> readInstalledState(const QString &manifestPath, const QString &installDir);

// The upgrade endpoint config.xml names, or an empty text when it names none. A file that is
// missing or not XML costs a box first; a read one has its root element's name printed.
QString readUpdateUrl(const UpdaterConfig &config);
// The endpoint config.xml names, or the built-in one.
QString upgradeEndpoint(const UpdaterConfig &config);
// The built-in endpoint from the build's choices: a whole URL when the vendor named one, else the host
// on the service's own port and path.
QString builtInEndpoint(const QString &url, const QString &host);

} // namespace Installation

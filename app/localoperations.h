#pragma once

#include <QDateTime>
#include <QSet>
#include <QString>

#include "download/tempfolder.h"

namespace LocalOperations {

// Puts the temporary file in the target's place in one rename, after its bytes are on disk and
// with the permission bits of the file it replaces; makes the target's folders. The target must
// lie below installDir, and no folder between the two may be a symbolic link or junction; the
// file put in place is a regular file with no other name. A file of the folder given is taken
// through its handle and renamed from the folder itself. On failure the target is as it was. The
// rename reaches the disk with syncFolders(). Without sync the caller has made the bytes durable.
bool replaceFile(const QString &tempPath, const QString &targetPath, const QString &installDir,
                 TempFolder *folder = nullptr, bool sync = true);

// Keeps the installed file at targetPath as oldCopyPath (when that names one: a second name where
// the file system allows, else moved aside) and moves the folder's temporary file in its place,
// with the old file's permission bits, under the same rules as replaceFile(); a file new here gets
// the usual bits of a new file, executable ones when asked. A folder is never replaced. Nothing is
// synced: a whole release is made durable at once. On failure the target is as it was.
bool moveInPlace(const QString &tempPath, const QString &targetPath, const QString &oldCopyPath,
                 const QString &installDir, TempFolder *folder, bool executable = false);

// One rename over the target: the path never lacks a file, and a refused rename leaves it as it was.
bool moveOver(const QString &from, const QString &to);

// Whether targetPath lies below installDir with no folder between the two a symbolic link or
// junction (a folder not made yet counts as plain).
bool reachesTargetWithoutLinks(const QString &targetPath, const QString &installDir);

// Makes the file's bytes durable; false when it cannot.
bool syncFile(const QString &path);

// Makes the renames into these folders durable: until then a power loss may bring back a replaced
// file whole in its old form, which is harmless only while version.xml still names the old
// versions. One sync per folder at the end costs far less than one per file.
bool syncFolders(const QSet<QString> &folders);

// Sets the file's modification time (a link's own, never what it points at); false when it cannot.
bool setModificationTime(const QString &path, const QDateTime &time);

// Removes the "*.tmp" files of the folder, nothing else; nothing at all when the folder is a link.
void removeTempFiles(const QString &tempFolder);

} // namespace LocalOperations

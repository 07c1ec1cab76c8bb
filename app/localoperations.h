#pragma once

#include <QDateTime>
#include <QString>

// Puts the temporary file in the target's place in one rename, after its bytes are on disk and
// with the permission bits of the file it replaces; makes the target's folders. The target must
// lie below installDir, and no folder between the two may be a symbolic link or junction. On
// failure the target is as it was, except that it may already be in place when only the final
// sync of its folder failed.
bool replaceFile(const QString &tempPath, const QString &targetPath, const QString &installDir);

// Sets the file's modification time; false when it cannot.
bool setModificationTime(const QString &path, const QDateTime &time);

// Removes the "*.tmp" files of the folder, nothing else; nothing at all when the folder is a link.
void removeTempFiles(const QString &tempFolder);

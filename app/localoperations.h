#pragma once

#include <QDateTime>
#include <QString>

// Puts the temporary file in the target's place in one rename, after its bytes are on disk and
// with the permission bits of the file it replaces; makes the target's folders. On failure the
// target is as it was.
bool replaceFile(const QString &tempPath, const QString &targetPath);

// Sets the file's modification time; false when it cannot.
bool setModificationTime(const QString &path, const QDateTime &time);

// Removes the "*.tmp" files of the folder, nothing else.
void removeTempFiles(const QString &tempFolder);

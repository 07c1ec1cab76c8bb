#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Files for tests. Each failure is reported on the test log with the path and the reason, so a
// QVERIFY around a call says what went wrong, not only that it did.

// Writes the bytes whole, making the folders on the way.
bool writeFile(const QString &path, const QByteArray &bytes);
// The whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);
// updaterDir/config.xml naming the upgrade endpoint.
bool writeConfigXml(const QString &updaterDir, const QString &endpoint);
// Makes the file or folder refuse changes, its removal among them, or lets it change again. Root
// ignores permission bits, so it is made immutable as well.
void refuseChanges(const QString &path, bool refuse);
// Present in /proc and neither a zombie nor dead.
bool processRunning(qint64 pid);
// Every file below dir, hidden ones too, by its path relative to dir.
using FileSnapshot = QMap<QString, QByteArray>;
FileSnapshot snapshotFiles(const QString &dir);

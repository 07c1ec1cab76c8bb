#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

// The run's own folder for downloads, made new below installDir + "tmps" so that only this
// process's user may change what is in it: whoever can write into tmps itself can neither plant a
// link under the next name nor swap a file while it downloads. Every file is made new and
// exclusively, and every later step reaches it through its open handle (on POSIX the folder too).
class TempFolder
{
    Q_DECLARE_TR_FUNCTIONS(TempFolder)

public:
    TempFolder() = default;
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    // Makes tmps when it is missing (and then the installation the current directory) and the
    // private folder in it; false, saying why, when tmps is a link or the folder is not ours alone.
    bool open(const QString &installDir);
    bool isOpen() const { return !folderPath.isEmpty(); }
    QString errorString() const { return error; }

    // A new empty file named after the moment; empty when none can be made.
    QString createFile(const QDateTime &now);
    // The open handle of a file createFile() made (a C runtime descriptor), opened again from this
    // folder when it was closed; -1 for other paths.
    int handle(const QString &path);
    // Closes the file's handle for now: a release of thousands of files must not hold as many open.
    void close(const QString &path);
    // Renames the file over targetPath in one step, taken from this folder itself rather than
    // through its path, and closes its handle.
    bool moveOut(const QString &path, const QString &targetPath);
    void remove(const QString &path);
    // Makes the files named (every file here when none is) durable in one pass: on Linux one sync
    // of their file system, on Windows a flush of each file's handle, all side by side.
    bool makeDurable(const QStringList &paths = {});
    // Removes every file of this run and its folder, and the folders earlier runs of ours left.
    void clear(const QString &installDir);

private:
    struct File
    {
        int handle = -1;
        QString name;
    };
    bool fail(const QString &text);
    void removeFolders(const QString &tmps);

    qintptr tmpsHandle = -1;   // POSIX: tmps as it was when opened
    qintptr folderHandle = -1; // the private folder (Windows: held so that it cannot be renamed)
    QString folderName;
    QString folderPath;
    QMap<QString, File> files; // by path
    QString error;
};

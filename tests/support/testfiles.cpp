#include "tests/support/testfiles.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

bool writeFile(const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        qWarning().noquote() << "cannot make the folder of" << path;
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        qWarning().noquote() << "cannot write" << path << ":" << file.errorString();
        return false;
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "cannot read" << path << ":" << file.errorString();
        return QByteArray();
    }
    return file.readAll();
}

bool writeConfigXml(const QString &updaterDir, const QString &endpoint)
{
    return writeFile(updaterDir + "/config.xml", "<Config><Update>" + endpoint.toUtf8() + "</Update></Config>\n");
}

bool processRunning(qint64 pid)
{
    // The state follows the command name, which is in parentheses and may hold anything.
    QFile stat(QString("/proc/%1/stat").arg(pid));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const int end = line.lastIndexOf(')');
    if (end < 0 || end + 2 >= line.size())
        return false;
    const char state = line.at(end + 2);
    return state != 'Z' && state != 'X';
}

FileSnapshot snapshotFiles(const QString &dir)
{
    FileSnapshot files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readFile(path));
    }
    return files;
}

void refuseChanges(const QString &path, bool refuse)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags = refuse ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        ::close(fd);
    if (QFileInfo(path).isDir())
        ::chmod(QFile::encodeName(path).constData(), refuse ? 0555 : 0755);
}

#include "app/updatelog.h"
#include "app/localoperations.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>
#include <unistd.h>
#endif

namespace {

// Words from the network (a reason phrase, a file name) may hold anything: a CR or NUL would forge
// or cut lines for the reader, and a direction override would show a line other than it is.
QString escaped(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (const QChar character : text) {
        const ushort code = character.unicode();
        if (code < 0x20 || (code >= 0x7f && code <= 0x9f))
            line += QStringLiteral("\\x%1").arg(code, 2, 16, QChar('0'));
        else if (character.category() == QChar::Other_Format || character.category() == QChar::Separator_Line
                 || character.category() == QChar::Separator_Paragraph)
            line += QStringLiteral("\\u%1").arg(code, 4, 16, QChar('0'));
        else
            line += character;
    }
    return line;
}

} // namespace

bool UpdateLog::refuse(const QString &reason)
{
    file.close();
    error = reason;
    return false;
}

bool UpdateLog::open(const QString &path)
{
    file.close();
    error.clear();
    this->path = path;
    if (path.isEmpty())
        return true;
    if (!openFile(false))
        return false;
    if (size >= maxBytes) { // what an earlier run left over the bound starts a generation of its own
        file.close();
        if (!LocalOperations::moveOver(path, path + ".1"))
            return refuse(QObject::tr("it is over %1 bytes and cannot be moved to %2.1").arg(maxBytes).arg(path));
        return openFile(true);
    }
    return true;
}

bool UpdateLog::openFile(bool fresh)
{
    const QString folder = QFileInfo(path).absolutePath();
#ifdef Q_OS_WIN
    // A reparse point would lead the administrator's writes wherever its maker chose.
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction())
        return refuse(QObject::tr("it is a link"));
    if (info.exists() && !info.isFile())
        return refuse(QObject::tr("it is not a regular file"));
    if (!QFileInfo(folder).isDir())
        return refuse(QObject::tr("its folder %1 does not exist").arg(folder));
    Q_UNUSED(fresh);
    file.setFileName(path);
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return refuse(file.errorString());
    size = file.size();
    return true;
#else
    // Without blocking: a FIFO or a device would hold the run until someone reads it.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const QByteArray name = QFile::encodeName(path);
    int handle = fresh ? -1 : ::open(name.constData(), flags);
    if (fresh || (handle < 0 && errno == ENOENT)) {
        // A file begun where another user may write could be theirs by the next run, or a link.
        struct stat parent;
        if (::stat(QFile::encodeName(folder).constData(), &parent) != 0 || !S_ISDIR(parent.st_mode))
            return refuse(QObject::tr("its folder %1 does not exist").arg(folder));
        if ((parent.st_uid != ::geteuid() && parent.st_uid != 0) || (parent.st_mode & (S_IWGRP | S_IWOTH)))
            return refuse(QObject::tr("its folder %1 may be written by other users").arg(folder));
        handle = ::open(name.constData(), flags | O_CREAT | O_EXCL, 0644);
    }
    if (handle < 0)
        return refuse(errno == ELOOP ? QObject::tr("it is a symbolic link") : qt_error_string(errno));
    // Only our own file with this one name: a hard link to a system file would be appended to.
    struct stat opened;
    const bool own = ::fstat(handle, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid()
        && opened.st_nlink == 1;
    if (!own || !file.open(handle, QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(handle);
        return refuse(QObject::tr("it is not a regular file of the updater's own user with one name"));
    }
    size = opened.st_size;
    return true;
#endif
}

QString UpdateLog::redacted(const QString &text)
{
    // The log may be read by anyone who can help; a proxy's or server's password is not for them.
    static const QRegularExpression userInfo("([A-Za-z][A-Za-z0-9+.-]*://[^/?#@\\s:]*):[^/?#@\\s]*@");
    return QString(text).replace(userInfo, "\\1:***@");
}

void UpdateLog::write(const QString &text)
{
    if (!file.isOpen())
        return;
    if (size >= maxBytes)
        open(path);
    if (!file.isOpen())
        return;
    // Each line on its own: a run that is killed keeps every line before it.
    const QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + ' ' + escaped(redacted(text));
    const QByteArray bytes = (line + '\n').toUtf8();
    file.write(bytes);
    file.flush();
    size += bytes.size();
}

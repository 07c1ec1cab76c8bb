#include "app/updatelog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
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

bool UpdateLog::open(const QString &path)
{
    file.close();
    if (path.isEmpty())
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
#ifdef Q_OS_WIN
    if (QFileInfo::exists(path) && !QFileInfo(path).isFile())
        return false;
    file.setFileName(path);
    return file.open(QIODevice::Append | QIODevice::Text);
#else
    // Without blocking, and kept only when it is a regular file: a FIFO or a device would hold the
    // run until someone reads it.
    const int handle = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    struct stat opened;
    if (handle < 0)
        return false;
    if (::fstat(handle, &opened) != 0 || !S_ISREG(opened.st_mode)
        || !file.open(handle, QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(handle);
        return false;
    }
    return true;
#endif
}

void UpdateLog::write(const QString &text)
{
    if (!file.isOpen())
        return;
    // Each line on its own: a run that is killed keeps every line before it.
    const QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + ' ' + escaped(text);
    file.write((line + '\n').toUtf8());
    file.flush();
}

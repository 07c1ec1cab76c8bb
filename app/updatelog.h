#pragma once

#include <QFile>
#include <QString>

// The opt-in log for support: one line per step of the run, appended to the file config.xml names.
// Without a file nothing is written; a file that cannot be opened costs the run nothing. The
// updater runs as an administrator, so the name is never followed through a link, and a file is
// begun only where no other user can plant one; past maxBytes the log moves to NAME.1.
class UpdateLog
{
public:
    static constexpr qint64 maxBytes = 1024 * 1024;

    // False when a file was named but is refused or cannot be written to; errorString() says why
    // and the run goes on without a log.
    bool open(const QString &path);
    bool isOpen() const { return file.isOpen(); }
    QString errorString() const { return error; }
    // One line: the UTC time, then the text, with credentials in URLs blanked.
    void write(const QString &text);

    // The text with the password of any URL's user information shown as ***.
    static QString redacted(const QString &text);

private:
    bool openFile(bool fresh);
    bool refuse(const QString &reason);

    QFile file;
    QString path;
    QString error;
    qint64 size = 0;
};

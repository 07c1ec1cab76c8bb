#pragma once

#include <QFile>
#include <QString>

// The opt-in log for support: one line per step of the run, appended to the file config.xml names.
// Without a file nothing is written; a file that cannot be opened costs the run nothing.
class UpdateLog
{
public:
    // False when a file was named but cannot be written to; the run goes on without a log.
    bool open(const QString &path);
    bool isOpen() const { return file.isOpen(); }
    // One line: the UTC time, then the text.
    void write(const QString &text);

private:
    QFile file;
};

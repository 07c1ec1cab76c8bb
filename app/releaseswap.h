#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QString>

class TempFolder;

// Puts a whole staged release in place in one short journaled step, so that after any failure or
// crash every installed file belongs to one release. Each installed copy is moved aside (on Windows
// a running executable can be moved where it cannot be replaced) and the new file moved in; the
// journal in the updater's folder names every target and where its old copy went. Until the journal
// says the release is in, version.xml and the release state included, anything can be put back:
// by this run on a failure, or by the next start after a crash.
class ReleaseSwap
{
    Q_DECLARE_TR_FUNCTIONS(ReleaseSwap)

public:
    struct File
    {
        QString tempPath;   // one of folder's files
        QString targetPath; // below the installation
        QDateTime releaseTime; // invalid: none given
        bool executable = false; // for a file new here; a replaced one keeps its own bits
    };

    ReleaseSwap(const QString &installDir, const QString &updaterDir);

    // Makes the staged files durable at once, writes the journal, then moves each installed copy
    // aside and the new file in. On false everything moved is back, and failedTarget() names the
    // file that could not be placed (empty when the failure was not one file's).
    bool install(const QList<File> &files, TempFolder *folder);
    // Writes version.xml and the release state, marks the release as in, then drops the old copies.
    // On false everything is back as it was before install().
    bool commit(const QString &versionXml, qint64 sequence);
    QString failedTarget() const { return failed; }
    QString errorString() const { return error; }

    // Finishes what an interrupted run's journal says: puts the old release back, or drops the old
    // copies once the new release was in. Returns what was done, for the log; empty when nothing.
    static QString recover(const QString &installDir, const QString &updaterDir);

private:
    struct Entry
    {
        QString target;
        QString oldCopy; // empty: there was no installed copy
    };

    bool fail(const QString &text);
    bool writeJournal(bool done) const;
    void rollBack();
    void dropOldCopies();
    static QList<Entry> readJournal(const QString &path, bool *done);
    static void putBack(const QList<Entry> &entries);

    QString installDir;
    QString journalPath;
    QString oldCopies; // the folder the installed copies are moved to
    QList<Entry> entries;
    QString failed;
    QString error;
};

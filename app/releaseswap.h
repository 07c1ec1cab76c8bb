#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class TempFolder;

// Puts a whole staged release in place in one short journaled step, so that after any failure or
// crash every installed file belongs to one release. Each installed copy is moved aside (on Windows
// a running executable can be moved where it cannot be replaced) and the new file moved in; the
// journal in the updater's folder names every target, the size and SHA-256 of what is put there,
// and where its old copy went. Until the journal says the release is in, version.xml and the
// release state included, anything can be put back: by this run on a failure, or by the next start
// after a crash. Only what the journal itself put in place is ever undone, and an old copy is
// dropped only once it is back or no longer needed.
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
        qint64 size = 0;
        QByteArray sha256; // of the bytes put in place
    };

    ReleaseSwap(const QString &installDir, const QString &updaterDir);

    // Keeps copies of version.xml and the release state, makes the staged files durable, writes
    // the journal, then moves each installed copy aside and the new file in. On false everything
    // moved is back, unless errorString() says otherwise, and failedTarget() names the file that
    // could not be placed (empty when the failure was not one file's).
    bool install(const QList<File> &files, TempFolder *folder, const QString &versionXml, qint64 sequence);
    // Writes version.xml and the release state, marks the release as in, then drops the old copies.
    // On false everything is back as it was before install(), unless errorString() says otherwise.
    bool commit();
    QString failedTarget() const { return failed; }
    // False after a failure when an old copy could not go back (errorString() names it).
    bool everythingBack() const { return whole; }
    QString errorString() const { return error; }

    // Finishes what an interrupted run's journal says: puts the old release back, or drops the old
    // copies once the new release was in. A journal that cannot be trusted is moved aside with the
    // old copies, untouched. Returns what was done, a line each for the log; empty when nothing.
    static QStringList recover(const QString &installDir, const QString &updaterDir);

private:
    struct Entry
    {
        QString target;
        QString oldCopy; // empty: there was no installed copy
        qint64 size = 0;
        QByteArray sha256; // what the install puts at target
    };

    bool fail(const QString &text);
    bool prepareOldCopies();
    static QStringList dropLeftovers(const QString &folder);
    bool writeJournal(bool done) const;
    bool rollBack();
    void dropOldCopies();
    QString checkJournal(bool *done);
    void setAside(QStringList *report) const;
    bool putBack(QStringList *report) const;

    QString installDir;
    QString updaterDir;
    QString journalPath;
    QString oldCopies; // the folder the installed copies are moved to
    int firstCopy = 0; // the first of their names that no copy still in use holds
    QList<Entry> entries;
    QString versionXml;
    qint64 sequence = 0;
    bool whole = true;
    QString failed;
    QString error;
};

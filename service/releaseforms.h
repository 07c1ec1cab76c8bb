#pragma once

#include <QCoreApplication>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The smaller forms of a release's files that the publisher keeps in the release folder for the
// updater: a zstd-compressed copy of each file, and binary patches to it from the copies of earlier
// releases. They are named by content, so a name once written never stands for other bytes and a CDN
// may keep it forever.
class ReleaseForms
{
    Q_DECLARE_TR_FUNCTIONS(ReleaseForms)

public:
    static constexpr const char *folderName = ".trelvox-forms";
    static constexpr qint64 defaultPatchLimit = qint64(1) << 30;
    static constexpr qint64 maxPatchLimit = (qint64(1) << 31) - (qint64(1) << 20);

    struct Options
    {
        QStringList deltaFrom;                 // earlier releases, laid out like the installation
        qint64 patchLimit = defaultPatchLimit; // larger files get only the compressed copy
    };

    struct Patch
    {
        qint64 size = 0;
        QStringList baseFolders; // the --delta-from folders holding the bytes it applies to
        bool executable = false; // the executable-aware form, kept only where it beats the byte-level one
    };

    // What one file's forms are, and what making them took.
    struct Report
    {
        QString path;
        qint64 size = 0;
        qint64 compressedSize = 0;
        QList<Patch> patches;
        QStringList notes; // why a base folder gave no patch
        qint64 milliseconds = 0;
        qint64 peakMemory = -1; // the process's peak resident bytes meanwhile; -1: unknown here

        // What the cheapest way to this file takes, the file itself included.
        qint64 smallest() const;
    };

    ReleaseForms(const QString &releaseRoot, const Options &options);

    // Every --delta-from folder must exist: a misspelt one would silently give no patches.
    bool checkOptions(QString *error) const;

    bool hasCompressedCopy(const QString &sha256) const;

    // Makes the forms of one listed file that do not exist yet; a dry run only measures them.
    bool make(const QString &relativePath, const QString &sha256, bool dryRun, Report *report,
              QString *error) const;

    // Adds to a signed listing's entry of a file with that digest the members "compressed",
    // "patches" and "executable_patches" for the forms that exist.
    bool describe(const QString &sha256, QJsonObject *entry, QString *error) const;

private:
    QString formPath(const QString &name) const;
    bool makePatches(const QString &relativePath, const QString &sha256, bool dryRun, Report *report,
                     QString *error) const;

    QString root;
    Options options;
};

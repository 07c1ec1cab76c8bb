#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QStringList>
#include <QString>
#include <functional>

#include "download/contentcheck.h"
#include "protocol/signedrelease.h"

// Puts the files of a release in place one after the other: a temporary name, the download into
// it, the replacement of the installed file. The steps that wait or touch the disk are handed in,
// so that the rules between them hold the same for the window and for tests.
class FileInstaller
{
    Q_DECLARE_TR_FUNCTIONS(FileInstaller)

public:
    // A smaller form of a file, tried before the file itself.
    struct Form
    {
        QString path;          // relative to the download URL
        ContentCheck expected; // of the form's own bytes
        QByteArray baseSha256; // a patch: what the installed file holds; empty: the compressed copy
    };

    struct Steps
    {
        std::function<QString()> tempFileName; // empty when none can be had
        // Starts a download that `download` later waits for; only used when looking ahead.
        std::function<void(const QString &url, const QString &tempPath, const ContentCheck &expected)> begin;
        // False when the download failed or its bytes are not the expected ones; *reason then says why.
        std::function<bool(const QString &url, const QString &tempPath, const ContentCheck &expected, QString *reason)>
            download;
        // Turns a downloaded form into the file at tempPath, held to expected; false, saying why, when it cannot.
        std::function<bool(const Form &form, const QString &formPath, const QString &tempPath,
                           const QString &targetPath, const ContentCheck &expected, QString *reason)>
            decode;
        std::function<void(const QString &tempPath)> discard; // a form's temporary file, done with
        std::function<bool(const QString &tempPath, const QString &targetPath)> replace;
        // Gives the installed file the release's modification time.
        std::function<void(const QString &targetPath, const QDateTime &time)> stamp;
        // What the installed file holds, asked only when a patch could apply; empty when unknown.
        std::function<QByteArray(const QString &targetPath)> installedSha256;
    };

    // One file of the run.
    struct File
    {
        QString path;
        ContentCheck expected;  // checks nothing when the release is not signed
        QDateTime releaseTime; // the release's "modified_time"; invalid when it gave none
        QList<Form> forms;     // in the order they are tried; a patch only if it applies to the installed copy
    };

    enum Result { Installed, DownloadFailed, ReplaceFailed };
    struct Outcome
    {
        Result result = DownloadFailed;
        QString reason;   // why the download failed
        QString form;     // the form that was installed from; empty: the file itself
        QStringList skipped; // each form that was tried and failed, and why
    };

    // The forms worth trying for a file the listing describes: its patches, then the compressed
    // copy when it is smaller. Of the patches, only the first that applies to the installed copy is tried.
    static QList<Form> formsFor(const SignedRelease::Content &content);

    // ahead: how many of the following files' downloads are begun before their turn.
    FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps, int ahead = 0);

    // Puts files[index] in place. The files are installed strictly in their order; only their
    // downloads may run ahead.
    Outcome install(const QList<File> &files, int index);

private:
    struct Begun
    {
        QString tempPath; // empty: the file failed before its download
        QString formPath; // the first form's temporary file, when it has forms
        QList<Form> forms; // those that apply to the installed copy
        Outcome failure;
    };
    bool tryForm(const File &file, const Form &form, const QString &formPath, const QString &tempPath, QString *reason);
    Begun begin(const File &file) const;
    QString urlOf(const QString &path) const;

    QString installDir;
    QString downloadUrl;
    Steps steps;
    int ahead;
    QMap<int, Begun> begun; // by index, until the file's turn
};

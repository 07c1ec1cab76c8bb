#include "app/fileinstaller.h"

#include "app/installation.h"

#include <QUrl>

FileInstaller::FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps, int ahead)
    : installDir(installDir)
    , downloadUrl(downloadUrl)
    , steps(std::move(steps))
    , ahead(ahead)
{
}

FileInstaller::Outcome FileInstaller::install(const QList<File> &files, int index)
{
    if (!begun.contains(index))
        begun.insert(index, begin(files.at(index)));
    const Begun started = begun.take(index);
    if (started.tempPath.isEmpty())
        return started.failure; // nothing more is asked for past it: the run may end here
    for (int next = index + 1; next <= index + ahead && next < files.size(); ++next) {
        if (!begun.contains(next))
            begun.insert(next, begin(files.at(next)));
    }
    const File &file = files.at(index);
    Outcome outcome{Installed, QString(), QString(), {}};
    // A form that fails costs only itself: the next one is tried, and at last the file itself.
    for (int i = 0; i < started.forms.size() && outcome.form.isEmpty(); ++i) {
        const Form &form = started.forms.at(i);
        const QString formPath = i == 0 && !started.formPath.isEmpty() ? started.formPath : steps.tempFileName();
        QString reason = tr("no temporary file could be made");
        if (!formPath.isEmpty() && tryForm(file, form, formPath, started.tempPath, &reason))
            outcome.form = tr("%1 (%2 bytes)").arg(form.path).arg(form.expected.listedSize());
        else
            outcome.skipped << tr("%1: %2").arg(form.path, reason);
    }
    QString reason;
    if (outcome.form.isEmpty() && !steps.download(urlOf(file.path), started.tempPath, file.expected, &reason)) {
        outcome.result = DownloadFailed;
        outcome.reason = reason;
        return outcome;
    }
    if (!steps.replace(started.tempPath, installDir + file.path)) {
        outcome.result = ReplaceFailed;
        return outcome;
    }
    // The installed copy then compares with the release's time as like with like, whatever the
    // time zones of the service and of this machine: read back, it is exactly the release's time.
    if (file.releaseTime.isValid())
        steps.stamp(installDir + file.path, file.releaseTime);
    return outcome;
}

bool FileInstaller::tryForm(const File &file, const Form &form, const QString &formPath, const QString &tempPath,
                            QString *reason)
{
    const bool made = steps.download(urlOf(form.path), formPath, form.expected, reason)
        && steps.decode(form, formPath, tempPath, installDir + file.path, file.expected, reason);
    steps.discard(formPath);
    return made;
}

QList<FileInstaller::Form> FileInstaller::formsFor(const SignedRelease::Content &content)
{
    QList<Form> forms;
    // The executable-aware form first where it beats the byte-level one from the same copy; should
    // it fail, that one is next.
    const auto byteLevelFrom = [&content](const QByteArray &base) -> const SignedRelease::Form * {
        for (const SignedRelease::Form &patch : content.patches) {
            if (patch.baseSha256 == base)
                return &patch;
        }
        return nullptr;
    };
    for (const SignedRelease::Form &patch : content.executablePatches) {
        const SignedRelease::Form *byteLevel = byteLevelFrom(patch.baseSha256);
        if (!byteLevel || patch.size < byteLevel->size)
            forms << Form{patch.path, ContentCheck(patch.size, patch.sha256), patch.baseSha256};
    }
    for (const SignedRelease::Form &patch : content.patches)
        forms << Form{patch.path, ContentCheck(patch.size, patch.sha256), patch.baseSha256};
    // A compressed copy of bytes that do not compress would only cost its decoding.
    if (!content.compressed.path.isEmpty() && content.compressed.size < content.size)
        forms << Form{content.compressed.path, ContentCheck(content.compressed.size, content.compressed.sha256), {}};
    return forms;
}

// Each segment percent-encoded: a "#" or "%41" in a name must reach the server as written.
QString FileInstaller::urlOf(const QString &path) const
{
    QStringList segments = path.split('/');
    for (QString &segment : segments)
        segment = QString::fromLatin1(QUrl::toPercentEncoding(segment));
    return downloadUrl + "/" + segments.join('/');
}

FileInstaller::Begun FileInstaller::begin(const File &file) const
{
    // The service's paths are not trusted: nothing may land outside the installation, and a file
    // without a temporary name must not reach the installed target.
    if (!Installation::isSafeRelativePath(file.path))
        return {QString(), QString(), {}, {DownloadFailed, tr("unsafe file path"), {}, {}}};
    if (Installation::isReservedPath(file.path))
        return {QString(), QString(), {}, {DownloadFailed, tr("a name the updater keeps for its own records"), {}, {}}};
    const QString tempPath = steps.tempFileName();
    if (tempPath.isEmpty())
        return {QString(), QString(), {}, {DownloadFailed, tr("no temporary file could be made"), {}, {}}};
    // The installed copy is read only now, past the checks above, and only when a patch could apply.
    QList<Form> forms;
    QByteArray installedSha256;
    bool asked = false;
    for (const Form &form : file.forms) {
        if (!form.baseSha256.isEmpty()) {
            if (!asked)
                installedSha256 = steps.installedSha256(installDir + file.path);
            asked = true;
            if (form.baseSha256 != installedSha256)
                continue;
        }
        forms << form;
    }
    const QString formPath = forms.isEmpty() ? QString() : steps.tempFileName();
    if (ahead > 0 && !formPath.isEmpty())
        steps.begin(urlOf(forms.first().path), formPath, forms.first().expected);
    else if (ahead > 0)
        steps.begin(urlOf(file.path), tempPath, file.expected);
    return {tempPath, formPath, forms, {}};
}

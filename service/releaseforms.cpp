#include "service/releaseforms.h"

#include "service/execpatchmaker.h"
#include "service/patchmaker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <utility>
#include <QSaveFile>

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

namespace {

constexpr int compressionLevel = 19;
constexpr int compressionWorkers = 2;

// The digest of a file and the size it had while being read.
bool digestOf(const QString &path, QString *sha256, qint64 *size)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return false;
    *sha256 = QString::fromLatin1(hash.result().toHex());
    *size = file.size();
    return true;
}

// A patch is named by the digests of its two files, so it must be made from exactly those bytes.
bool readExactly(const QString &path, const QString &sha256, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = ReleaseForms::tr("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.readAll();
    if (QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex() != sha256.toLatin1()) {
        *error = ReleaseForms::tr("%1 changed while it was published, or could not be read whole").arg(path);
        return false;
    }
    return true;
}

// ELF or PE by its first bytes: the executable-aware maker refuses anything else, and a republish
// need not read both copies of every data file to hear that.
bool startsAsExecutable(const QString &path)
{
    QFile file(path);
    const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
    return head == "\x7f" "ELF" || head.startsWith("MZ");
}

bool writeForm(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        *error = ReleaseForms::tr("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

// Streamed, so that a file larger than memory compresses too. The bytes are hashed on the way: a
// file changed since it was listed would otherwise leave wrong bytes under a name never rewritten.
// An empty target only counts the compressed bytes; a copy of keepBelow bytes or more is not kept.
bool compress(const QString &source, const QString &sha256, const QString &target, qint64 keepBelow,
              qint64 *compressedSize, QString *error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = ReleaseForms::tr("cannot read %1: %2").arg(source, in.errorString());
        return false;
    }
    QSaveFile out(target);
    if (!target.isEmpty() && !out.open(QIODevice::WriteOnly)) {
        *error = ReleaseForms::tr("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }
    const std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, compressionLevel);
    // A library built without threads refuses workers and compresses on this thread instead.
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, compressionWorkers);
    ZSTD_CCtx_setPledgedSrcSize(context.get(), quint64(in.size()));

    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray input(int(ZSTD_CStreamInSize()), Qt::Uninitialized);
    QByteArray output(int(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    *compressedSize = 0;
    for (bool last = false; !last;) {
        const qint64 read = in.read(input.data(), input.size());
        if (read < 0) {
            *error = ReleaseForms::tr("cannot read %1: %2").arg(source, in.errorString());
            return false;
        }
        hash.addData(input.constData(), int(read));
        last = read == 0 || in.atEnd();
        ZSTD_inBuffer pending{input.constData(), size_t(read), 0};
        for (bool done = false; !done;) {
            ZSTD_outBuffer made{output.data(), size_t(output.size()), 0};
            const size_t left = ZSTD_compressStream2(context.get(), &made, &pending, last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left)) {
                *error = ReleaseForms::tr("cannot compress %1: %2").arg(source, QString::fromLatin1(ZSTD_getErrorName(left)));
                return false;
            }
            if (out.isOpen() && out.write(output.constData(), qint64(made.pos)) != qint64(made.pos)) {
                *error = ReleaseForms::tr("cannot write %1: %2").arg(target, out.errorString());
                return false;
            }
            *compressedSize += qint64(made.pos);
            done = last ? left == 0 : pending.pos == pending.size;
        }
    }
    if (QString::fromLatin1(hash.result().toHex()) != sha256) {
        *error = ReleaseForms::tr("%1 changed while it was published; publish again").arg(source);
        return false;
    }
    if (out.isOpen() && *compressedSize >= keepBelow) {
        out.cancelWriting();
        return true;
    }
    if (out.isOpen() && !out.commit()) {
        *error = ReleaseForms::tr("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }
    return true;
}

// Linux keeps a high-water mark of the resident set that a process may lower to its current size,
// which makes the peak of one file's work measurable.
void resetPeakMemory()
{
#ifdef Q_OS_LINUX
    if (std::FILE *file = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", file);
        std::fclose(file);
    }
#endif
}

qint64 peakMemory()
{
    qint64 kibibytes = -1;
#ifdef Q_OS_LINUX
    if (std::FILE *file = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (kibibytes < 0 && std::fgets(line, sizeof line, file)) {
            long long value = 0;
            if (std::sscanf(line, "VmHWM: %lld kB", &value) == 1)
                kibibytes = value;
        }
        std::fclose(file);
    }
#endif
    return kibibytes < 0 ? -1 : kibibytes * 1024;
}

} // namespace

qint64 ReleaseForms::Report::smallest() const
{
    qint64 least = std::min(size, compressedSize);
    for (const Patch &patch : patches)
        least = std::min(least, patch.size);
    return least;
}

ReleaseForms::ReleaseForms(const QString &releaseRoot, const Options &options)
    : root(releaseRoot), options(options)
{
}

QString ReleaseForms::formPath(const QString &name) const
{
    return root + "/" + folderName + "/" + name;
}

bool ReleaseForms::checkOptions(QString *error) const
{
    for (const QString &folder : options.deltaFrom) {
        if (!QFileInfo(folder).isDir()) {
            *error = tr("--delta-from %1 is not a folder").arg(folder);
            return false;
        }
    }
    // Both files of a patch are held whole in byte arrays, whose size is an int.
    if (options.patchLimit < 0 || options.patchLimit > maxPatchLimit) {
        *error = tr("the patch limit must be from 0 to %1 bytes").arg(maxPatchLimit);
        return false;
    }
    return true;
}

bool ReleaseForms::hasCompressedCopy(const QString &sha256) const
{
    return QFileInfo(formPath(sha256 + ".zst")).isFile();
}

bool ReleaseForms::make(const QString &relativePath, const QString &sha256, bool dryRun, Report *report,
                        QString *error) const
{
    QElapsedTimer clock;
    clock.start();
    resetPeakMemory();
    *report = Report();
    report->path = relativePath;
    const QString file = root + "/" + relativePath;
    report->size = QFileInfo(file).size();
    if (!dryRun && !QDir(root).mkpath(folderName)) {
        *error = tr("cannot create %1").arg(root + "/" + folderName);
        return false;
    }
    const QString compressed = formPath(sha256 + ".zst");
    if (hasCompressedCopy(sha256))
        report->compressedSize = QFileInfo(compressed).size();
    else if (!compress(file, sha256, dryRun ? QString() : compressed, report->size, &report->compressedSize, error))
        return false;
    // Random or already compressed bytes: the updater would only fetch more than the file itself.
    if (report->compressedSize >= report->size)
        report->notes << tr("no compressed copy: its %1 bytes are not under the file's").arg(report->compressedSize);
    if (!makePatches(relativePath, sha256, dryRun, report, error))
        return false;
    report->milliseconds = clock.elapsed();
    report->peakMemory = peakMemory();
    return true;
}

bool ReleaseForms::makePatches(const QString &relativePath, const QString &sha256, bool dryRun, Report *report,
                               QString *error) const
{
    QStringList holding;
    for (const QString &folder : options.deltaFrom) {
        if (QFileInfo(folder + "/" + relativePath).isFile())
            holding << folder;
    }
    // Patches are made in memory from both whole files.
    if (!holding.isEmpty() && report->size > options.patchLimit) {
        report->notes << tr("no patch: %1 bytes, above the patch limit of %2").arg(report->size).arg(options.patchLimit);
        return true;
    }
    // By the base's digest: folders holding the same old bytes share one patch.
    std::map<QString, QStringList> bases;
    for (const QString &folder : holding) {
        const QString old = folder + "/" + relativePath;
        QString digest;
        qint64 size = 0;
        if (!digestOf(old, &digest, &size)) {
            *error = tr("cannot read %1").arg(old);
            return false;
        }
        if (size > options.patchLimit)
            report->notes << tr("no patch from %1: its copy is above the patch limit of %2")
                                 .arg(folder, QString::number(options.patchLimit));
        else if (digest != sha256)
            bases[digest] << folder;
    }

    QByteArray newBytes;
    for (const auto &[baseSha256, folders] : bases) {
        const QString name = formPath(baseSha256 + "-" + sha256 + ".patch");
        const QString executableName = formPath(baseSha256 + "-" + sha256 + ".xpatch");
        const bool patchKept = QFileInfo(name).isFile();
        const qint64 keptSize = patchKept ? QFileInfo(name).size() : 0;
        if (patchKept) {
            report->patches << Patch{keptSize, folders};
            if (QFileInfo(executableName).isFile()) {
                report->patches << Patch{QFileInfo(executableName).size(), folders, true};
                continue;
            }
            // Kept by a publish before the executable-aware form, which may still beat it.
            if (!startsAsExecutable(root + "/" + relativePath))
                continue;
        }
        QByteArray oldBytes, patch;
        if ((newBytes.isNull() && !readExactly(root + "/" + relativePath, sha256, &newBytes, error))
            || !readExactly(folders.first() + "/" + relativePath, baseSha256, &oldBytes, error))
            return false;
        ExecPatchMaker executableMaker;
        QByteArray executable;
        bool executableMade = false;
        const auto makeExecutable = [&] { executableMade = executableMaker.make(oldBytes, newBytes, &executable); };
        PatchMaker maker;
        bool made = true;
        if (patchKept) {
            makeExecutable();
        } else {
            // Side by side, a core each: the byte-level patch of a large library takes minutes.
            std::thread executableThread(makeExecutable);
            made = maker.make(oldBytes, newBytes, &patch);
            executableThread.join();
        }
        const QString from = folders.join(", ");
        const qint64 worthBelow = std::min(report->compressedSize, report->size) * 9;
        if (!made) {
            report->notes << tr("no patch from %1: %2").arg(from, maker.errorString());
            continue;
        }
        const qint64 byteLevelSize = patchKept ? keptSize : patch.size();
        // Barely smaller, it would not pay for the listing's bytes and the updater's work.
        if (!patchKept) {
            if (patch.size() * qint64(10) >= worthBelow)
                report->notes << tr("no patch from %1: its %2 bytes are not under 90 % of the smaller of the file "
                                    "and its compressed copy")
                                     .arg(from, QString::number(patch.size()));
            else if (dryRun || writeForm(name, patch, error))
                report->patches << Patch{patch.size(), folders};
            else
                return false;
        }

        // Kept beside the byte-level patch, never instead: updaters before this form read only that.
        if (!executableMade)
            continue;
        if (executable.size() >= byteLevelSize || executable.size() * qint64(10) >= worthBelow)
            report->notes << tr("no executable-aware patch from %1: its %2 bytes do not beat the byte-level %3")
                                 .arg(from, QString::number(executable.size()), QString::number(byteLevelSize));
        else if (dryRun || writeForm(executableName, executable, error))
            report->patches << Patch{executable.size(), folders, true};
        else
            return false;
    }
    return true;
}

bool ReleaseForms::describe(const QString &sha256, QJsonObject *entry, QString *error) const
{
    const auto form = [&](const QString &name, QJsonObject *member) {
        QString digest;
        qint64 size = 0;
        if (!digestOf(formPath(name), &digest, &size)) {
            *error = tr("cannot read %1").arg(formPath(name));
            return false;
        }
        *member = {{"path", QString(folderName) + "/" + name}, {"size", double(size)}, {"sha256", digest}};
        return true;
    };
    QJsonObject compressed;
    if (hasCompressedCopy(sha256)) {
        if (!form(sha256 + ".zst", &compressed))
            return false;
        // One an earlier publish kept may stay in the folder, but is not worth offering.
        if (compressed.value("size").toDouble() < entry->value("file_size").toDouble())
            entry->insert("compressed", compressed);
    }
    // Every patch to these bytes that an earlier publish kept: a user may still hold any of their bases.
    // The executable-aware ones in a member of their own: an updater before the form skips it and
    // takes the byte-level patch.
    for (const auto &kind : {std::make_pair(QString(".patch"), QString("patches")),
                             std::make_pair(QString(".xpatch"), QString("executable_patches"))}) {
        const QRegularExpression patchName("^([0-9a-f]{64})-" + sha256 + QRegularExpression::escape(kind.first) + "$");
        QJsonArray patches;
        for (const QString &name : QDir(root + "/" + folderName).entryList({"*-" + sha256 + kind.first}, QDir::Files, QDir::Name)) {
            const QRegularExpressionMatch match = patchName.match(name);
            QJsonObject patch;
            if (!match.hasMatch())
                continue;
            if (!form(name, &patch))
                return false;
            patch.insert("base_sha256", match.captured(1));
            patches.append(patch);
        }
        if (!patches.isEmpty())
            entry->insert(kind.second, patches);
    }
    return true;
}

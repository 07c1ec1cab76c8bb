#include <QtTest>

#include <zstd.h>

#include <initializer_list>
#include <random>

#include "download/execpatchapplier.h"
#include "download/formdecoder.h"
#include "download/patchapplier.h"
#include "download/patchformat.h"
#include "service/execpatchmaker.h"
#include "service/patchmaker.h"
#include "service/releaseforms.h"
#include "tests/support/sampleexecutable.h"

namespace {

QByteArray randomBytes(int size, unsigned seed)
{
    std::mt19937 generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator());
    return bytes;
}

QByteArray int64s(std::initializer_list<qint64> values)
{
    QByteArray bytes;
    for (qint64 value : values) {
        for (int i = 0; i < 8; ++i)
            bytes.append(char(quint64(value) >> (8 * i)));
    }
    return bytes;
}

QByteArray compressed(const QByteArray &raw)
{
    QByteArray out(int(ZSTD_compressBound(size_t(raw.size()))), Qt::Uninitialized);
    out.resize(int(ZSTD_compress(out.data(), size_t(out.size()), raw.constData(), size_t(raw.size()), 1)));
    return out;
}

// A patch put together by hand, blocks given as frames, so that it can say what the maker never would.
QByteArray assembled(qint64 newSize, const QByteArray &control, const QByteArray &diff, const QByteArray &extra)
{
    return "TRVXPT01" + int64s({newSize, control.size(), diff.size(), extra.size()}) + control + diff + extra;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

class tst_patch : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("oldBytes");
        QTest::addColumn<QByteArray>("newBytes");
        QTest::addColumn<int>("largestPatch");
        const QByteArray text = randomBytes(200000, 1);
        QByteArray edited = text;
        edited[1000] = char(edited[1000] + 1);
        edited.replace(150000, 4, "abcd");
        QByteArray changed = randomBytes(1 << 20, 2);
        std::mt19937 generator(3);
        for (int i = 0; i < changed.size() / 100; ++i)
            changed[int(generator() % quint32(changed.size()))] = char(generator());
        QTest::newRow("empty old") << QByteArray() << text << 200200;
        QTest::newRow("empty new") << text << QByteArray() << 100;
        QTest::newRow("both empty") << QByteArray() << QByteArray() << 100;
        QTest::newRow("identical") << text << text << 200;
        QTest::newRow("small edits") << text << edited << 300;
        QTest::newRow("block inserted") << text << text.left(90000) + randomBytes(5000, 4) + text.mid(90000) << 5300;
        QTest::newRow("block removed") << text << text.left(90000) + text.mid(120000) << 300;
        const QByteArray periodic = QByteArray("ab").repeated(1 << 19);
        QTest::newRow("periodic, a byte inserted") << periodic << periodic.left(1 << 19) + 'c' + periodic.mid(1 << 19) << 300;
        QTest::newRow("1% of 1 MB changed") << randomBytes(1 << 20, 2) << changed << 40000;
    }
    void roundTrip()
    {
        QFETCH(QByteArray, oldBytes);
        QFETCH(QByteArray, newBytes);
        QFETCH(int, largestPatch);
        PatchMaker maker;
        QByteArray patch;
        QVERIFY2(maker.make(oldBytes, newBytes, &patch), qPrintable(maker.errorString()));
        QVERIFY2(patch.size() <= largestPatch, qPrintable(QString::number(patch.size())));
        QByteArray rebuilt;
        QBuffer output(&rebuilt);
        output.open(QIODevice::WriteOnly);
        PatchApplier applier;
        QVERIFY2(applier.apply(oldBytes, patch, &output, newBytes.size()), qPrintable(applier.errorString()));
        QVERIFY(rebuilt == newBytes);
    }

    void compressedCopies_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("cut");
        const int buffer = int(ZSTD_DStreamOutSize());
        QTest::newRow("small") << 1000 << false;
        // The frame ends where the decoder's output buffer is full.
        QTest::newRow("a multiple of the decoder's buffer") << 3 * buffer << false;
        QTest::newRow("cut short") << 3 * buffer << true;
    }
    void compressedCopies()
    {
        QFETCH(int, size);
        QFETCH(bool, cut);
        const QByteArray bytes(size, 'z');
        QByteArray packed(int(ZSTD_compressBound(size_t(size))), '\0');
        packed.resize(int(ZSTD_compress(packed.data(), size_t(packed.size()), bytes.constData(), size_t(size), 3)));
        if (cut)
            packed.chop(3);
        QBuffer form(&packed);
        QByteArray decoded;
        QBuffer output(&decoded);
        QVERIFY(form.open(QIODevice::ReadOnly) && output.open(QIODevice::ReadWrite));
        FormDecoder decoder;
        QCOMPARE(decoder.decompress(&form, &output, ContentCheck()), !cut);
        if (cut)
            QVERIFY2(decoder.errorString().contains("ends in the middle"), qPrintable(decoder.errorString()));
        else
            QVERIFY(decoded == bytes);
    }

    void malformed_data()
    {
        QTest::addColumn<QByteArray>("patch");
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<QString>("reason");
        const QByteArray base = randomBytes(4000, 5);
        QByteArray newBytes = base.left(3000) + randomBytes(1000, 6) + base.mid(3000);
        newBytes[10] = 'x';
        QByteArray good;
        QVERIFY(PatchMaker().make(base, newBytes, &good));
        const qint64 size = newBytes.size();
        QTest::newRow("shorter than a header") << good.left(39) << size << "format";
        for (int cut : {41, 60, good.size() / 2, good.size() - 1})
            QTest::addRow("cut at %d", cut) << good.left(cut) << size << "shorter than its blocks";
        QTest::newRow("trailing byte") << good + 'x' << size << "after its last block";
        QTest::newRow("wrong magic") << "TRVXPT02" + good.mid(8) << size << "format";
        QTest::newRow("maxSize below the new size") << good << size - 1 << "more than the";
        QByteArray smaller = good;
        smaller.replace(8, 8, int64s({size - 1}));
        QTest::newRow("new size below what the records make") << smaller << size << "more than its new size";
        QByteArray larger = good;
        larger.replace(8, 8, int64s({size + 1}));
        QTest::newRow("new size above what the records make") << larger << size + 1 << "ends too soon";
        QByteArray swapped = good;
        swapped.replace(16, 16, good.mid(24, 8) + good.mid(16, 8));
        QTest::newRow("block sizes swapped") << swapped << size << "block";
        QTest::newRow("negative block size") << assembled(4, compressed(int64s({0, 4, 0})), {}, compressed("abcd"))
                                                    .replace(24, 8, int64s({-1})) << qint64(4) << "negative block size";
        QTest::newRow("seek before base") << assembled(4, compressed(int64s({0, 4, -1})), {}, compressed("abcd"))
                                          << qint64(4) << "outside the installed file";
        QTest::newRow("seek past base") << assembled(4, compressed(int64s({0, 4, 4001})), {}, compressed("abcd"))
                                        << qint64(4) << "outside the installed file";
        QTest::newRow("add past base") << assembled(10, compressed(int64s({0, 0, 3995, 10, 0, 0})), compressed(QByteArray(10, 0)), {})
                                       << qint64(10) << "past the end";
        QTest::newRow("negative length") << assembled(4, compressed(int64s({-1, 5, 0})), {}, compressed("abcde"))
                                         << qint64(4) << "negative length";
        QTest::newRow("records that make nothing")
            << assembled(4, compressed(int64s({0, 0, 0, 0, 0, 0})), {}, compressed("abcd")) << qint64(4) << "makes nothing";
        QTest::newRow("extra block longer than used")
            << assembled(4, compressed(int64s({0, 4, 0})), {}, compressed("abcde")) << qint64(4) << "holds more";
        QTest::newRow("record cut") << assembled(4, compressed(int64s({0, 4}).left(20)), {}, compressed("abcd"))
                                    << qint64(4) << "ends too soon";
        // A frame that asks for a 1 GiB window.
        const QByteArray hugeWindow = QByteArray::fromHex("28b52ffd00a009000078");
        QTest::newRow("window too large") << assembled(1, compressed(int64s({0, 1, 0})), {}, hugeWindow) << qint64(1)
                                          << "damaged";
    }
    void malformed()
    {
        QFETCH(QByteArray, patch);
        QFETCH(qint64, maxSize);
        QFETCH(QString, reason);
        const QByteArray base = randomBytes(4000, 5);
        QByteArray written;
        QBuffer output(&written);
        output.open(QIODevice::WriteOnly);
        PatchApplier applier;
        QVERIFY(!applier.apply(base, patch, &output, maxSize));
        QVERIFY2(applier.errorString().contains(reason), qPrintable(applier.errorString()));
        QVERIFY(written.size() <= maxSize);
    }

    // Each version against the first, through the publisher: both forms rebuild it exactly, and the
    // executable-aware one is kept, and applied by the updater, exactly where it is the smaller. A
    // byte-level patch an earlier publish kept stays as it is, and the other form is still made.
    void executables_data()
    {
        QTest::addColumn<int>("grown");
        QTest::addColumn<int>("changedConstant");
        QTest::addColumn<bool>("pointerInserted");
        QTest::addColumn<bool>("pe");
        QTest::addColumn<bool>("byteLevelKept");
        QTest::addColumn<bool>("executableWins");
        QTest::newRow("a function grows, the later ones move") << 3 << -1 << false << false << false << true;
        QTest::newRow("a constant changes") << -1 << 5 << false << false << false << false;
        QTest::newRow("a new relocated pointer heads the table") << -1 << -1 << true << false << false << true;
        QTest::newRow("all three") << 10 << 2 << true << false << false << true;
        QTest::newRow("PE: a function grows") << 3 << -1 << false << true << false << true;
        QTest::newRow("PE: a constant changes") << -1 << 5 << false << true << false << false;
        QTest::newRow("PE: a new relocated pointer") << -1 << -1 << true << true << false << true;
        QTest::newRow("republished over the kept byte-level patch") << 3 << -1 << false << false << true << true;
    }
    void executables()
    {
        QFETCH(int, grown);
        QFETCH(int, changedConstant);
        QFETCH(bool, pointerInserted);
        QFETCH(bool, pe);
        QFETCH(bool, byteLevelKept);
        QFETCH(bool, executableWins);
        const QByteArray oldBytes = sampleExecutable({}, pe);
        const QByteArray newBytes = sampleExecutable({grown, changedConstant, pointerInserted}, pe);
        QByteArray bytePatch, executablePatch;
        QVERIFY(PatchMaker().make(oldBytes, newBytes, &bytePatch));

        QTemporaryDir folder;
        const QString oldRoot = folder.filePath("old"), newRoot = folder.filePath("new");
        QVERIFY(QDir().mkpath(oldRoot) && QDir().mkpath(newRoot));
        QFile oldFile(oldRoot + "/lib.so"), newFile(newRoot + "/lib.so");
        QVERIFY(oldFile.open(QIODevice::WriteOnly) && oldFile.write(oldBytes) == oldBytes.size());
        QVERIFY(newFile.open(QIODevice::WriteOnly) && newFile.write(newBytes) == newBytes.size());
        oldFile.close();
        newFile.close();
        const QDateTime keptAt = QDateTime::currentDateTimeUtc().addDays(-100);
        QFile keptPatch(newRoot + "/" + ReleaseForms::folderName + "/" + sha256Hex(oldBytes) + "-" + sha256Hex(newBytes) + ".patch");
        if (byteLevelKept) {
            QVERIFY(QDir(newRoot).mkpath(ReleaseForms::folderName));
            QVERIFY(keptPatch.open(QIODevice::WriteOnly) && keptPatch.write(bytePatch) == bytePatch.size());
            QVERIFY(keptPatch.flush() && keptPatch.setFileTime(keptAt, QFileDevice::FileModificationTime));
            keptPatch.close();
        }
        ReleaseForms::Options options;
        options.deltaFrom = QStringList{oldRoot};
        ReleaseForms forms(newRoot, options);
        ReleaseForms::Report report;
        QString error;
        QVERIFY2(forms.make("lib.so", sha256Hex(newBytes), false, &report, &error), qPrintable(error));
        QJsonObject entry{{"file_size", double(newBytes.size())}};
        QVERIFY2(forms.describe(sha256Hex(newBytes), &entry, &error), qPrintable(error));
        QCOMPARE(entry.contains("executable_patches"), executableWins);
        QVERIFY(entry.contains("patches"));
        if (byteLevelKept)
            QCOMPARE(QFileInfo(keptPatch).lastModified().toUTC().toSecsSinceEpoch(), keptAt.toSecsSinceEpoch());

        // Both forms rebuild the new file, whichever is kept.
        ExecPatchMaker maker;
        QVERIFY2(maker.make(oldBytes, newBytes, &executablePatch), qPrintable(maker.errorString()));
        QCOMPARE(executablePatch.size() < bytePatch.size(), executableWins);
        QByteArray predicted = oldBytes, rebuilt;
        QBuffer output(&rebuilt);
        output.open(QIODevice::WriteOnly);
        ExecPatchApplier applier;
        QVERIFY2(applier.apply(&predicted, executablePatch, &output, newBytes.size()), qPrintable(applier.errorString()));
        QVERIFY(rebuilt == newBytes);

        // The updater's decoder takes the kept form from the file the publisher wrote.
        const QString kept = entry.value(executableWins ? "executable_patches" : "patches")[0]["path"].toString();
        QFile form(newRoot + "/" + kept), result(folder.filePath("result"));
        QVERIFY(form.open(QIODevice::ReadOnly) && result.open(QIODevice::ReadWrite));
        FormDecoder decoder;
        QVERIFY2(decoder.applyPatch(oldRoot + "/lib.so", QCryptographicHash::hash(oldBytes, QCryptographicHash::Sha256), &form,
                                    &result, ContentCheck(newBytes.size(), QCryptographicHash::hash(newBytes, QCryptographicHash::Sha256))),
                 qPrintable(decoder.errorString()));
    }

    // Hostile executable-aware patches: refused with a reason, never more than the bound written
    // (the updater then goes on to the byte-level patch: tst_signedrelease's fallback rows).
    void malformedExecutable_data()
    {
        QTest::addColumn<QByteArray>("patch");
        QTest::addColumn<QByteArray>("base");
        QTest::addColumn<QString>("reason");
        const QByteArray oldBytes = sampleExecutable({});
        const QByteArray newBytes = sampleExecutable({3, -1, false});
        QByteArray good;
        QVERIFY(ExecPatchMaker().make(oldBytes, newBytes, &good));
        const qint64 block = PatchFormat::int64At(good.constData() + 8);
        const auto withBlock = [&](const QByteArray &raw) {
            const QByteArray frame = compressed(raw);
            return "TRVXPX01" + int64s({frame.size()}) + frame + good.mid(int(16 + block));
        };
        QTest::newRow("shorter than a header") << good.left(15) << oldBytes << "format";
        QTest::newRow("block longer than the patch") << good.left(8) + int64s({good.size()}) + good.mid(16) << oldBytes << "shorter than";
        QTest::newRow("negative block") << good.left(8) + int64s({-1}) + good.mid(16) << oldBytes << "shorter than";
        QTest::newRow("block damaged") << good.left(16) + QByteArray(int(block), 'x') + good.mid(int(16 + block)) << oldBytes << "damaged";
        QTest::newRow("count beyond the bound") << withBlock(QByteArray::fromHex("8080808001")) << oldBytes << "count";
        QTest::newRow("shifts fewer than counted") << withBlock(QByteArray::fromHex("030102")) << oldBytes << "malformed";
        QTest::newRow("two shifts at one address") << withBlock(QByteArray::fromHex("0201020002")) << oldBytes << "malformed";
        QTest::newRow("bytes after the shifts") << withBlock(QByteArray::fromHex("01010200")) << oldBytes << "more than";
        QTest::newRow("base no executable") << good << randomBytes(4000, 7) << "not an executable";
        QTest::newRow("inner patch cut") << good.left(good.size() - 3) << oldBytes << "shorter than its blocks";
    }
    void malformedExecutable()
    {
        QFETCH(QByteArray, patch);
        QFETCH(QByteArray, base);
        QFETCH(QString, reason);
        const qint64 maxSize = sampleExecutable({3, -1, false}).size();
        QByteArray written;
        QBuffer output(&written);
        output.open(QIODevice::WriteOnly);
        ExecPatchApplier applier;
        QVERIFY(!applier.apply(&base, patch, &output, maxSize));
        QVERIFY(written.size() <= maxSize);
        QVERIFY2(applier.errorString().contains(reason), qPrintable(applier.errorString()));
    }
};

QTEST_GUILESS_MAIN(tst_patch)
#include "tst_patch.moc"

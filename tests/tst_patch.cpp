#include <QtTest>

#include <zstd.h>

#include <initializer_list>
#include <random>

#include "app/fileinstaller.h"
#include "download/execpatchapplier.h"
#include "download/formdecoder.h"
#include "download/patchapplier.h"
#include "download/patchformat.h"
#include "service/execpatchmaker.h"
#include "service/patchmaker.h"
#include "service/releaseforms.h"

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

void put(QByteArray *into, qint64 at, quint64 value, int width)
{
    for (int i = 0; i < width; ++i, value >>= 8)
        (*into)[int(at + i)] = char(value & 0xff);
}

// What one version of a small x86-64 shared object differs in from the first.
struct Version
{
    int grown = -1;           // this function has 50 bytes more code, so every later one moves
    int changedConstant = -1; // this constant holds another value
    bool pointerInserted = false; // one more pointer, with its relocation, heads the pointer table
};

// A shared object or DLL laid out as a linker lays one out, sections back to back: 60 functions
// calling each other and reading constants and a pointer table RIP-relative, the table's pointers
// relocated (ELF: R_X86_64_RELATIVE, their addends also in place as ld writes them; PE: base
// relocations, and an exception entry per function).
QByteArray image(const Version &version, bool pe = false)
{
    const int functions = 60, constants = 16, pointers = 48;
    const int entries = pointers + (version.pointerInserted ? 1 : 0);
    const int first = version.pointerInserted ? 1 : 0;
    const quint64 base = pe ? 0x140000000 : 0;
    const auto bodySize = [&](int f) { return 5 * (6 + f % 5 + (f == version.grown ? 10 : 0)) + 3 * 5 + 7 + 2 * 7 + 1; };
    std::vector<quint64> starts;
    quint64 at = 0x400;
    for (int f = 0; f < functions; ++f, at += quint64(bodySize(f - 1)))
        starts.push_back(at);
    const quint64 rodata = (at + 15) & ~quint64(15);
    const quint64 table = rodata + 8 * constants;
    const quint64 relocations = table + 8 * quint64(entries); // ELF: RELA; PE: exception entries, then base relocations
    const quint64 pageBlocks = (relocations + 12 * functions - table) / 4096 + 2;
    const quint64 end = relocations + (pe ? 12 * functions + pageBlocks * 8 + 2 * quint64(entries) : 24 * quint64(entries));
    const quint64 headers = (end + 7) & ~quint64(7);
    QByteArray image(int(headers + 5 * 64), '\0');

    qint64 pc = 0x400;
    const auto rel32 = [&](const QByteArray &opcode, quint64 target) {
        image.replace(int(pc), opcode.size(), opcode);
        pc += opcode.size() + 4;
        put(&image, pc - 4, target - quint64(pc), 4);
    };
    for (int f = 0; f < functions; ++f) {
        for (int i = 0; i < (bodySize(f) - 37) / 5; ++i, pc += 5) {
            image[int(pc)] = char(0xb8); // mov eax, imm32
            put(&image, pc + 1, quint64(f * 131 + i * 7), 4);
        }
        for (int c = 0; c < 3; ++c)
            rel32("\xe8", starts[size_t((f * 7 + c * 3 + 1) % functions)]);
        rel32("\x48\x8d\x05", rodata + 8 * quint64(f % constants));              // lea rax, [rip + constant]
        rel32("\x48\x8b\x05", table + 8 * quint64(first + f % pointers));         // mov rax, [rip + pointer]
        rel32("\x48\x8b\x05", table + 8 * quint64(first + f * 7 % pointers));
        image[int(pc++)] = char(0xc3);
    }
    for (int i = 0; i < constants; ++i)
        put(&image, qint64(rodata) + 8 * i, 0x1111u * quint64(i + 1) + (i == version.changedConstant ? 1 : 0), 8);
    for (int k = 0; k < entries; ++k) {
        const quint64 target = base + starts[size_t(((k - first) * 5 + functions) % functions)];
        put(&image, qint64(table) + 8 * k, target, 8);
        if (!pe) {
            put(&image, qint64(relocations) + 24 * k, table + 8 * quint64(k), 8);
            put(&image, qint64(relocations) + 24 * k + 8, 8, 8); // R_X86_64_RELATIVE
            put(&image, qint64(relocations) + 24 * k + 16, target, 8);
        }
    }
    if (!pe) {
        image.replace(0, 7, QByteArray("\x7f" "ELF\x02\x01\x01", 7));
        put(&image, 16, 3, 2);  // a shared object
        put(&image, 18, 62, 2); // x86-64
        put(&image, 0x28, headers, 8);
        put(&image, 0x3a, 64, 2);
        put(&image, 0x3c, 5, 2);
        // Sections: type, flags, address and offset (one), size, entry size.
        const quint64 sections[4][5] = {{1, 6, 0x400, rodata - 0x400, 0}, // .text
                                        {1, 2, rodata, 8 * constants, 0},  // .rodata
                                        {1, 3, table, 8 * quint64(entries), 0},
                                        {4, 2, relocations, 24 * quint64(entries), 24}}; // .rela.dyn
        for (int i = 0; i < 4; ++i) {
            const qint64 header = qint64(headers) + 64 * (i + 1);
            put(&image, header + 4, sections[i][0], 4);
            put(&image, header + 8, sections[i][1], 8);
            put(&image, header + 16, sections[i][2], 8);
            put(&image, header + 24, sections[i][2], 8);
            put(&image, header + 32, sections[i][3], 8);
            put(&image, header + 56, sections[i][4], 8);
        }
        return image;
    }
    for (int f = 0; f < functions; ++f) {
        put(&image, qint64(relocations) + 12 * f, starts[size_t(f)], 4);
        put(&image, qint64(relocations) + 12 * f + 4, starts[size_t(f)] + quint64(bodySize(f)), 4);
        put(&image, qint64(relocations) + 12 * f + 8, rodata, 4);
    }
    // Base relocations: a block per 4 KiB page of the table, each entry a 64-bit pointer.
    const quint64 blocks = relocations + 12 * functions;
    quint64 block = blocks;
    for (int k = 0; k < entries;) {
        const quint64 page = (table + 8 * quint64(k)) & ~quint64(0xfff);
        quint64 entry = block + 8;
        for (; k < entries && ((table + 8 * quint64(k)) & ~quint64(0xfff)) == page; ++k, entry += 2)
            put(&image, qint64(entry), 0xa000 | ((table + 8 * quint64(k)) & 0xfff), 2);
        put(&image, qint64(block), page, 4);
        put(&image, qint64(block) + 4, entry - block, 4);
        block = entry;
    }
    image.replace(0, 2, "MZ");
    put(&image, 0x3c, 0x40, 4);
    image.replace(0x40, 4, QByteArray("PE\0\0", 4));
    put(&image, 0x44, 0x8664, 2);
    put(&image, 0x46, 3, 2);     // sections
    put(&image, 0x54, 240, 2);   // optional header size
    const qint64 optional = 0x58;
    put(&image, optional, 0x20b, 2);
    put(&image, optional + 24, base, 8);
    put(&image, optional + 108, 16, 4);
    put(&image, optional + 112 + 24, relocations, 4); // exception directory
    put(&image, optional + 112 + 28, 12 * functions, 4);
    put(&image, optional + 112 + 40, blocks, 4); // base relocation directory
    put(&image, optional + 112 + 44, block - blocks, 4);
    // Sections: address and offset (one), size, characteristics.
    const quint64 sections[3][3] = {{0x400, rodata - 0x400, 0x60000020}, // .text
                                    {rodata, relocations + 12 * functions - rodata, 0x40000040},
                                    {blocks, block - blocks, 0x42000040}}; // .reloc
    for (int i = 0; i < 3; ++i) {
        const qint64 header = optional + 240 + 40 * i;
        put(&image, header + 8, sections[i][1], 4);
        put(&image, header + 12, sections[i][0], 4);
        put(&image, header + 16, sections[i][1], 4);
        put(&image, header + 20, sections[i][0], 4);
        put(&image, header + 36, sections[i][2], 4);
    }
    return image;
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
    // executable-aware one is kept, and applied by the updater, exactly where it is the smaller.
    void executables_data()
    {
        QTest::addColumn<int>("grown");
        QTest::addColumn<int>("changedConstant");
        QTest::addColumn<bool>("pointerInserted");
        QTest::addColumn<bool>("pe");
        QTest::addColumn<bool>("executableWins");
        QTest::newRow("a function grows, the later ones move") << 3 << -1 << false << false << true;
        QTest::newRow("a constant changes") << -1 << 5 << false << false << false;
        QTest::newRow("a new relocated pointer heads the table") << -1 << -1 << true << false << true;
        QTest::newRow("all three") << 10 << 2 << true << false << true;
        QTest::newRow("PE: a function grows") << 3 << -1 << false << true << true;
        QTest::newRow("PE: a constant changes") << -1 << 5 << false << true << false;
        QTest::newRow("PE: a new relocated pointer") << -1 << -1 << true << true << true;
    }
    void executables()
    {
        QFETCH(int, grown);
        QFETCH(int, changedConstant);
        QFETCH(bool, pointerInserted);
        QFETCH(bool, pe);
        QFETCH(bool, executableWins);
        const QByteArray oldBytes = image({}, pe);
        const QByteArray newBytes = image({grown, changedConstant, pointerInserted}, pe);

        QTemporaryDir folder;
        const QString oldRoot = folder.filePath("old"), newRoot = folder.filePath("new");
        QVERIFY(QDir().mkpath(oldRoot) && QDir().mkpath(newRoot));
        QFile oldFile(oldRoot + "/lib.so"), newFile(newRoot + "/lib.so");
        QVERIFY(oldFile.open(QIODevice::WriteOnly) && oldFile.write(oldBytes) == oldBytes.size());
        QVERIFY(newFile.open(QIODevice::WriteOnly) && newFile.write(newBytes) == newBytes.size());
        oldFile.close();
        newFile.close();
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

        // Both forms rebuild the new file, whichever is kept.
        QByteArray bytePatch, executablePatch;
        QVERIFY(PatchMaker().make(oldBytes, newBytes, &bytePatch));
        ExecPatchMaker maker;
        QVERIFY2(maker.make(oldBytes, newBytes, &executablePatch), qPrintable(maker.errorString()));
        QCOMPARE(executablePatch.size() < bytePatch.size(), executableWins);
        QByteArray predicted = oldBytes, rebuilt;
        QBuffer output(&rebuilt);
        output.open(QIODevice::WriteOnly);
        ExecPatchApplier applier;
        QVERIFY2(applier.apply(&predicted, executablePatch, &output, newBytes.size()), qPrintable(applier.errorString()));
        QVERIFY(rebuilt == newBytes);

        // The updater tries the kept form first, and gets the new file from it.
        SignedRelease::Content content;
        for (const char *member : {"patches", "executable_patches"}) {
            for (const QJsonValue &value : entry.value(member).toArray()) {
                const QJsonObject object = value.toObject();
                SignedRelease::Form form{object.value("path").toString(), qint64(object.value("size").toDouble()),
                                         QByteArray::fromHex(object.value("sha256").toString().toLatin1()),
                                         QByteArray::fromHex(object.value("base_sha256").toString().toLatin1())};
                (std::strcmp(member, "patches") == 0 ? content.patches : content.executablePatches) << form;
            }
        }
        const QList<FileInstaller::Form> tried = FileInstaller::formsFor(content, QCryptographicHash::hash(oldBytes, QCryptographicHash::Sha256));
        QVERIFY(!tried.isEmpty());
        QCOMPARE(tried.first().path.endsWith(".xpatch"), executableWins);
        QFile form(newRoot + "/" + tried.first().path);
        QFile result(folder.filePath("result"));
        QVERIFY(form.open(QIODevice::ReadOnly) && result.open(QIODevice::ReadWrite));
        FormDecoder decoder;
        QVERIFY2(decoder.applyPatch(oldRoot + "/lib.so", tried.first().baseSha256, &form, &result,
                                    ContentCheck(newBytes.size(), QCryptographicHash::hash(newBytes, QCryptographicHash::Sha256))),
                 qPrintable(decoder.errorString()));
    }

    // Hostile executable-aware patches: refused with a reason, never more than the bound written;
    // the updater then goes on to the byte-level patch, which the last row shows it has.
    void malformedExecutable_data()
    {
        QTest::addColumn<QByteArray>("patch");
        QTest::addColumn<QByteArray>("base");
        QTest::addColumn<QString>("reason");
        const QByteArray oldBytes = image({});
        const QByteArray newBytes = image({3, -1, false});
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
        QTest::newRow("wild shifts: other bytes, never the new file")
            << withBlock(QByteArray::fromHex("02ff01ffffffffffffffff01ff02ff0f")) << oldBytes << "";
        QTest::newRow("inner patch cut") << good.left(good.size() - 3) << oldBytes << "shorter than its blocks";
    }
    void malformedExecutable()
    {
        QFETCH(QByteArray, patch);
        QFETCH(QByteArray, base);
        QFETCH(QString, reason);
        const qint64 maxSize = image({3, -1, false}).size();
        QByteArray written;
        QBuffer output(&written);
        output.open(QIODevice::WriteOnly);
        ExecPatchApplier applier;
        const bool applied = applier.apply(&base, patch, &output, maxSize);
        QVERIFY(written.size() <= maxSize);
        // Wild shifts may still rebuild bytes; they never pass as the new file.
        if (applied) {
            QVERIFY(written != image({3, -1, false}));
            return;
        }
        QVERIFY2(applier.errorString().contains(reason), qPrintable(applier.errorString()));
    }

    // A failed executable-aware patch falls back to the byte-level one, then to the compressed copy.
    void formsInOrder()
    {
        SignedRelease::Content content;
        content.patches << SignedRelease::Form{"a.patch", 10, QByteArray(32, 'p'), QByteArray(32, 'b')};
        content.executablePatches << SignedRelease::Form{"other.xpatch", 5, QByteArray(32, 'o'), QByteArray(32, 'o')}
                                  << SignedRelease::Form{"a.xpatch", 5, QByteArray(32, 'x'), QByteArray(32, 'b')};
        content.compressed = {"a.zst", 20, QByteArray(32, 'z'), {}};
        content.size = 30;
        QStringList order;
        for (const FileInstaller::Form &form : FileInstaller::formsFor(content, QByteArray(32, 'b')))
            order << form.path;
        QCOMPARE(order, QStringList({"a.xpatch", "a.patch", "a.zst"}));
    }
};

QTEST_GUILESS_MAIN(tst_patch)
#include "tst_patch.moc"

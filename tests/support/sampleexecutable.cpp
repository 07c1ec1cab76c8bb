#include "tests/support/sampleexecutable.h"

#include <vector>

namespace {

void put(QByteArray *into, qint64 at, quint64 value, int width)
{
    for (int i = 0; i < width; ++i, value >>= 8)
        (*into)[int(at + i)] = char(value & 0xff);
}

} // namespace

QByteArray sampleExecutable(const ExecutableVersion &version, bool pe)
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


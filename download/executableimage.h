#pragma once

#include <QByteArray>

#include <vector>

// An x86-64 ELF or PE file as the executable-aware patches see it: where its bytes load, and where
// it holds references to its own addresses. Both sides of a patch derive the same references from
// the same old bytes, so nothing about them has to travel; the file is untrusted data, and nothing
// is read outside it.
class ExecutableImage
{
public:
    // From `from` (an old address) on, until the next shift, addresses move by `delta`.
    struct Shift
    {
        quint64 from = 0;
        qint64 delta = 0;
    };

    // False when bytes are no x86-64 ELF or PE file with sections this reads.
    bool parse(const QByteArray &bytes);
    bool isPe() const { return pe; }

    // The address where the byte at offset loads; false for bytes that do not load.
    bool addressOf(qint64 offset, quint64 *address) const;
    // The file offset of address; false where no file byte loads there.
    bool offsetOf(quint64 address, qint64 *offset) const;
    // Whether an address falls among the loaded sections: only such values are taken for references.
    bool contains(quint64 address) const { return address >= low && address < high; }
    // Offsets and sizes of the sections that hold code.
    std::vector<std::pair<qint64, qint64>> codeRanges() const;

    // Rewrites every reference of bytes (the bytes parse() read) as if the addresses had moved by
    // shifts (sorted by from): the old file as the new one would hold it where only addresses moved.
    void predict(QByteArray *bytes, const std::vector<Shift> &shifts) const;

private:
    struct Section
    {
        qint64 offset = 0;
        qint64 size = 0; // of file bytes
        quint64 address = 0;
        bool code = false;
    };
    bool parseElf(const QByteArray &bytes);
    bool parsePe(const QByteArray &bytes);

    std::vector<Section> sections; // loaded ones with file bytes, sorted by offset
    std::vector<std::pair<qint64, qint64>> relocationTables; // ELF RELA tables: offset, entries
    std::vector<std::pair<qint64, qint64>> symbolTables;     // ELF symbol tables: offset, entries
    std::vector<qint64> pointers;                            // PE: offsets of based 64-bit pointers
    std::pair<qint64, qint64> exceptionTable{0, 0};          // PE: offset, entries of 12 bytes
    quint64 imageBase = 0;
    quint64 low = 0;
    quint64 high = 0;
    bool pe = false;
};

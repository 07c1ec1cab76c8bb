#include "download/executableimage.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

quint64 read64(const uchar *at)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

quint32 read32(const uchar *at)
{
    return quint32(at[0]) | quint32(at[1]) << 8 | quint32(at[2]) << 16 | quint32(at[3]) << 24;
}

quint16 read16(const uchar *at)
{
    return quint16(at[0] | at[1] << 8);
}

void write64(uchar *at, quint64 value)
{
    for (int i = 0; i < 8; ++i, value >>= 8)
        at[i] = uchar(value);
}

void write32(uchar *at, quint32 value)
{
    for (int i = 0; i < 4; ++i, value >>= 8)
        at[i] = uchar(value);
}

// Whether [offset, offset + length) lies inside size bytes, without overflow.
bool within(quint64 offset, quint64 length, qint64 size)
{
    return offset <= quint64(size) && length <= quint64(size) - offset;
}

// Where a reference's field begins after an opcode byte and the next one: 1 for call and jmp
// rel32, 2 for jcc rel32 and for an opcode of the one- or two-byte map followed by a ModRM of mod 00
// r/m 101, RIP-relative in most code; 0 for none. A guess is only a guess: the patch still carries
// the exact bytes, a wrong one costs only size.
std::vector<uchar> fieldOffsets()
{
    std::array<bool, 256> modrm{};
    for (int op : {0x01, 0x03, 0x09, 0x0b, 0x11, 0x13, 0x19, 0x1b, 0x21, 0x23, 0x29, 0x2b, 0x31, 0x33, 0x39, 0x3b,
                   0x63, 0x69, 0x80, 0x81, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x8b, 0x8d, 0xc6,
                   0xc7, 0xf6, 0xf7, 0xfe, 0xff, 0x10, 0x12, 0x16, 0x28, 0x2a, 0x2e, 0x2f, 0x6e, 0x6f, 0x7e,
                   0x7f, 0xaf, 0xb6, 0xb7, 0xbe, 0xbf, 0xd6, 0xdb, 0xeb, 0xef, 0xfa, 0xfb, 0xd4})
        modrm[size_t(op)] = true;
    for (int op = 0x51; op <= 0x5f; ++op)
        modrm[size_t(op)] = true;
    std::vector<uchar> offsets(256 * 256);
    for (int op = 0; op < 256; ++op) {
        for (int next = 0; next < 256; ++next) {
            uchar &offset = offsets[size_t(op << 8 | next)];
            if (op == 0xe8 || op == 0xe9) // call, jmp rel32
                offset = 1;
            else if ((op == 0x0f && (next & 0xf0) == 0x80) || (modrm[size_t(op)] && (next & 0xc7) == 0x05))
                offset = 2;
        }
    }
    return offsets;
}

} // namespace

bool ExecutableImage::parse(const QByteArray &bytes)
{
    *this = ExecutableImage();
    const bool parsed = parseElf(bytes) || parsePe(bytes);
    if (!parsed) {
        *this = ExecutableImage();
        return false;
    }
    std::sort(sections.begin(), sections.end(), [](const Section &a, const Section &b) { return a.offset < b.offset; });
    return !sections.empty() && high > low;
}

bool ExecutableImage::parseElf(const QByteArray &bytes)
{
    const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qint64 size = bytes.size();
    if (size < 64 || std::memcmp(data, "\x7f" "ELF", 4) != 0 || data[4] != 2 || data[5] != 1 || read16(data + 18) != 62)
        return false;
    const quint64 tableOffset = read64(data + 0x28);
    const quint64 entrySize = read16(data + 0x3a);
    const quint64 count = read16(data + 0x3c);
    if (entrySize < 64 || !within(tableOffset, entrySize * count, size))
        return false;
    low = ~quint64(0);
    for (quint64 i = 0; i < count; ++i) {
        const uchar *header = data + tableOffset + i * entrySize;
        const quint32 type = read32(header + 4);
        const quint64 flags = read64(header + 8);
        const quint64 address = read64(header + 16);
        const quint64 offset = read64(header + 24);
        const quint64 length = read64(header + 32);
        const quint64 entry = read64(header + 56);
        const bool inFile = type != 8 && within(offset, length, size); // 8: SHT_NOBITS
        if ((type == 4 || type == 2 || type == 11) && entry == 24 && inFile) // RELA, SYMTAB, DYNSYM
            (type == 4 ? relocationTables : symbolTables).push_back({qint64(offset), qint64(length / 24)});
        if (!(flags & 2) || length == 0 || address > ~quint64(0) - length) // SHF_ALLOC
            continue;
        low = std::min(low, address);
        high = std::max(high, address + length);
        if (inFile)
            sections.push_back({qint64(offset), qint64(length), address, (flags & 4) != 0 && type == 1});
    }
    return true;
}

bool ExecutableImage::parsePe(const QByteArray &bytes)
{
    const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qint64 size = bytes.size();
    if (size < 64 || data[0] != 'M' || data[1] != 'Z')
        return false;
    const quint64 signature = read32(data + 0x3c);
    if (!within(signature, 24, size) || std::memcmp(data + signature, "PE\0\0", 4) != 0
        || read16(data + signature + 4) != 0x8664)
        return false;
    const quint64 count = read16(data + signature + 6);
    const quint64 optionalSize = read16(data + signature + 20);
    const quint64 optional = signature + 24;
    if (optionalSize < 112 || !within(optional, optionalSize + 40 * count, size) || read16(data + optional) != 0x20b)
        return false;
    pe = true;
    imageBase = read64(data + optional + 24);
    const quint64 directories = std::min<quint64>(read32(data + optional + 108), (optionalSize - 112) / 8);
    low = ~quint64(0);
    for (quint64 i = 0; i < count; ++i) {
        const uchar *header = data + optional + optionalSize + 40 * i;
        const quint64 virtualSize = read32(header + 8);
        const quint64 address = imageBase + read32(header + 12);
        const quint64 rawSize = read32(header + 16);
        const quint64 offset = read32(header + 20);
        const quint32 flags = read32(header + 36);
        const quint64 loaded = std::max(virtualSize, rawSize);
        if (loaded == 0 || address < imageBase || address > ~quint64(0) - loaded)
            continue;
        low = std::min(low, address);
        high = std::max(high, address + loaded);
        const quint64 length = virtualSize ? std::min(virtualSize, rawSize) : rawSize;
        if (length > 0 && within(offset, length, size))
            sections.push_back({qint64(offset), qint64(length), address, (flags & 0x20000020) != 0});
    }
    if (sections.empty())
        return true;
    std::sort(sections.begin(), sections.end(), [](const Section &a, const Section &b) { return a.offset < b.offset; });
    // The base relocations name every 64-bit pointer the loader adjusts.
    const auto directory = [&](quint64 index, qint64 *offset, quint64 *length) {
        if (index >= directories)
            return false;
        const uchar *entry = data + optional + 112 + 8 * index;
        *length = read32(entry + 4);
        return *length > 0 && offsetOf(imageBase + read32(entry), offset) && within(quint64(*offset), *length, size);
    };
    qint64 at = 0;
    quint64 length = 0;
    if (directory(5, &at, &length)) {
        const quint64 end = quint64(at) + length;
        for (quint64 block = quint64(at); block + 8 <= end;) {
            const quint64 page = read32(data + block);
            const quint64 blockSize = read32(data + block + 4);
            if (blockSize < 8 || blockSize > end - block)
                break;
            for (quint64 entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
                const quint16 value = read16(data + entry);
                qint64 pointer = 0;
                if (value >> 12 == 10 && offsetOf(imageBase + page + (value & 0xfff), &pointer) && within(quint64(pointer), 8, size))
                    pointers.push_back(pointer);
            }
            block += blockSize;
        }
    }
    if (directory(3, &at, &length))
        exceptionTable = {at, qint64(length / 12)};
    return true;
}

bool ExecutableImage::addressOf(qint64 offset, quint64 *address) const
{
    auto after = std::upper_bound(sections.begin(), sections.end(), offset,
                                  [](qint64 value, const Section &section) { return value < section.offset; });
    if (after == sections.begin())
        return false;
    const Section &section = *(after - 1);
    if (offset - section.offset >= section.size)
        return false;
    *address = section.address + quint64(offset - section.offset);
    return true;
}

bool ExecutableImage::offsetOf(quint64 address, qint64 *offset) const
{
    for (const Section &section : sections) {
        if (address >= section.address && address - section.address < quint64(section.size)) {
            *offset = section.offset + qint64(address - section.address);
            return true;
        }
    }
    return false;
}

std::vector<std::pair<qint64, qint64>> ExecutableImage::codeRanges() const
{
    std::vector<std::pair<qint64, qint64>> ranges;
    for (const Section &section : sections) {
        if (section.code)
            ranges.push_back({section.offset, section.size});
    }
    return ranges;
}

void ExecutableImage::predict(QByteArray *bytes, const std::vector<Shift> &shifts) const
{
    uchar *data = reinterpret_cast<uchar *>(bytes->data());
    const qint64 size = bytes->size();
    // Millions of references each look up two shifts: an index by page finds them in a step or
    // two, however many shifts the patch brings.
    int pageShift = 12;
    while (((high - low) >> pageShift) > (1 << 20))
        ++pageShift;
    std::vector<quint32> firstOfPage(size_t(((high - low) >> pageShift) + 2));
    {
        size_t next = 0;
        for (size_t page = 0; page < firstOfPage.size(); ++page) {
            const quint64 start = low + (quint64(page) << pageShift);
            while (next < shifts.size() && shifts[next].from <= start)
                ++next;
            firstOfPage[page] = quint32(next);
        }
    }
    const auto delta = [&](quint64 address) -> quint64 {
        auto from = shifts.begin(), to = shifts.end();
        if (address >= low && address < high) {
            const quint64 page = (address - low) >> pageShift;
            from = shifts.begin() + firstOfPage[page];
            to = shifts.begin() + firstOfPage[page + 1];
            if (from != to)
                ++to; // the first of the next page may start just there
            to = std::min(to, shifts.end());
        }
        while (from != to && to - from <= 8 && from->from <= address)
            ++from;
        if (from != to && to - from > 8)
            from = std::upper_bound(from, to, address, [](quint64 value, const Shift &shift) { return value < shift.from; });
        return from == shifts.begin() ? 0 : quint64((from - 1)->delta);
    };
    // Unsigned arithmetic throughout: shifts come from the network and may wrap anything.
    const auto absolute = [&](qint64 offset) {
        if (offset < 0 || !within(quint64(offset), 8, size))
            return;
        const quint64 value = read64(data + offset);
        if (contains(value))
            write64(data + offset, value + delta(value));
    };
    const auto relative = [&](qint64 offset, quint64 site) {
        const quint64 value = quint64(qint64(qint32(read32(data + offset))));
        const quint64 target = site + 4 + value;
        if (!contains(target))
            return false;
        write32(data + offset, quint32(value + delta(target) - delta(site)));
        return true;
    };

    for (const auto &[offset, count] : relocationTables) {
        for (qint64 i = 0; i < count; ++i) {
            const uchar *entry = data + offset + 24 * i;
            qint64 location = 0;
            if (read64(entry + 8) == 8 && offsetOf(read64(entry), &location)) // R_X86_64_RELATIVE
                absolute(location);
            absolute(offset + 24 * i);
            if (read64(entry + 8) == 8)
                absolute(offset + 24 * i + 16);
        }
    }
    for (const auto &[offset, count] : symbolTables) {
        for (qint64 i = 0; i < count; ++i)
            absolute(offset + 24 * i + 8);
    }
    for (qint64 pointer : pointers)
        absolute(pointer);
    for (qint64 i = 0; i < exceptionTable.second; ++i) {
        for (int field = 0; field < 3; ++field) {
            uchar *at = data + exceptionTable.first + 12 * i + 4 * field;
            const quint64 address = imageBase + read32(at);
            if (contains(address))
                write32(at, quint32(read32(at) + delta(address)));
        }
    }

    // By the opcode byte and the one after it, where a reference's field would begin: one table
    // look-up a byte keeps the scan of a large library's code well under a second.
    static const std::vector<uchar> fieldAt = fieldOffsets();
    for (const Section &section : sections) {
        if (!section.code)
            continue;
        const uchar *code = data + section.offset;
        for (qint64 i = 0; i + 6 <= section.size;) {
            const uchar field = fieldAt[size_t(code[i]) << 8 | code[i + 1]];
            if (field != 0 && relative(section.offset + i + field, section.address + quint64(i + field)))
                i += field + 4;
            else
                ++i;
        }
    }
}

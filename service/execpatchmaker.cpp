#include "service/execpatchmaker.h"

#include "download/executableimage.h"
#include "download/patchformat.h"
#include "service/patchmaker.h"

#include <capstone/capstone.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>

namespace {

// A reference the disassembler found: where its field lies in the file, and the address it names.
struct Reference
{
    qint64 offset;
    quint64 target;
};

// The 32-bit relative branches and RIP-relative operands of the image's code, by offset.
std::vector<Reference> referencesOf(const ExecutableImage &image, const QByteArray &bytes)
{
    std::vector<Reference> references;
    csh handle;
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK)
        return references;
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    cs_insn *instruction = cs_malloc(handle);
    for (const auto &[start, length] : image.codeRanges()) {
        const uint8_t *code = reinterpret_cast<const uint8_t *>(bytes.constData()) + start;
        size_t left = size_t(length);
        quint64 first = 0;
        image.addressOf(start, &first);
        uint64_t address = first;
        while (left > 0) {
            const uint8_t *at = code;
            if (!cs_disasm_iter(handle, &code, &left, &address, instruction)) {
                // Data among the code: go on at the next byte.
                ++code;
                --left;
                ++address;
                continue;
            }
            const qint64 offset = start + qint64(instruction->address - first);
            const cs_x86 &x86 = instruction->detail->x86;
            const quint64 next = instruction->address + instruction->size;
            if (x86.encoding.disp_size == 4) {
                for (int i = 0; i < x86.op_count; ++i) {
                    if (x86.operands[i].type == X86_OP_MEM && x86.operands[i].mem.base == X86_REG_RIP) {
                        references.push_back({offset + x86.encoding.disp_offset, next + quint64(x86.operands[i].mem.disp)});
                        break;
                    }
                }
            } else if (instruction->size >= 5 && x86.op_count == 1 && x86.operands[0].type == X86_OP_IMM
                       && (cs_insn_group(handle, instruction, CS_GRP_JUMP) || cs_insn_group(handle, instruction, CS_GRP_CALL))) {
                const uint8_t *field = at + instruction->size - 4;
                const qint32 relative = qint32(quint32(field[0]) | quint32(field[1]) << 8 | quint32(field[2]) << 16
                                               | quint32(field[3]) << 24);
                if (next + quint64(qint64(relative)) == quint64(x86.operands[0].imm))
                    references.push_back({offset + instruction->size - 4, quint64(x86.operands[0].imm)});
            }
        }
    }
    cs_free(instruction, 1);
    cs_close(&handle);
    std::sort(references.begin(), references.end(), [](const Reference &a, const Reference &b) { return a.offset < b.offset; });
    return references;
}

// Per reference, a hash of the bytes around its field with every field blanked, sorted, those
// that occur more than once left out: what identifies a reference whatever its code and target moved.
std::vector<std::pair<quint64, size_t>> contextKeys(const QByteArray &bytes, const std::vector<Reference> &references)
{
    constexpr qint64 before = 16, after = 12;
    QByteArray blank = bytes;
    for (const Reference &reference : references)
        std::memset(blank.data() + reference.offset, 0, 4);
    const uchar *data = reinterpret_cast<const uchar *>(blank.constData());
    std::vector<std::pair<quint64, size_t>> keys;
    keys.reserve(references.size());
    for (size_t i = 0; i < references.size(); ++i) {
        const qint64 offset = references[i].offset;
        if (offset < before || offset + 4 + after > blank.size())
            continue;
        quint64 hash = 0xcbf29ce484222325ull; // FNV-1a
        for (qint64 at = offset - before; at < offset + 4 + after; ++at)
            hash = (hash ^ data[at]) * 0x100000001b3ull;
        keys.push_back({hash, i});
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::pair<quint64, size_t>> unique;
    for (size_t i = 0; i < keys.size(); ++i) {
        if ((i == 0 || keys[i - 1].first != keys[i].first) && (i + 1 == keys.size() || keys[i + 1].first != keys[i].first))
            unique.push_back(keys[i]);
    }
    return unique;
}

// The fewest shifts that follow the pairs (old address, delta): a delta that two pairs in a row
// agree on starts a shift; a lone disagreeing pair is taken for a mismatch.
std::vector<ExecutableImage::Shift> shiftsOf(std::vector<std::pair<quint64, qint64>> pairs)
{
    std::sort(pairs.begin(), pairs.end());
    std::vector<ExecutableImage::Shift> shifts;
    qint64 current = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        const qint64 delta = pairs[i].second;
        if (delta == current || i + 1 == pairs.size() || pairs[i + 1].second != delta)
            continue;
        if (!shifts.empty() && shifts.back().from == pairs[i].first)
            shifts.back().delta = delta;
        else
            shifts.push_back({pairs[i].first, delta});
        current = delta;
    }
    return shifts;
}

void putVarint(QByteArray *into, quint64 value)
{
    do {
        const uchar byte = uchar(value & 0x7f);
        value >>= 7;
        into->append(char(value ? byte | 0x80 : byte));
    } while (value);
}

} // namespace

bool ExecPatchMaker::make(const QByteArray &oldBytes, const QByteArray &newBytes, QByteArray *patch)
{
    error.clear();
    ExecutableImage oldImage, newImage;
    if (!oldImage.parse(oldBytes) || !newImage.parse(newBytes) || oldImage.isPe() != newImage.isPe()) {
        error = tr("not two x86-64 executables of one kind");
        return false;
    }

    std::vector<std::pair<quint64, qint64>> pairs;
    {
        const std::vector<Reference> oldReferences = referencesOf(oldImage, oldBytes);
        const std::vector<Reference> newReferences = referencesOf(newImage, newBytes);
        const std::vector<std::pair<quint64, size_t>> oldKeys = contextKeys(oldBytes, oldReferences);
        const std::vector<std::pair<quint64, size_t>> newKeys = contextKeys(newBytes, newReferences);
        // A reference whose surroundings are unique in both files is the same one: its target and its
        // own address are a pair of labels.
        auto next = newKeys.begin();
        for (const auto &[key, index] : oldKeys) {
            next = std::lower_bound(next, newKeys.end(), std::pair<quint64, size_t>{key, 0});
            if (next == newKeys.end() || next->first != key)
                continue;
            const Reference &before = oldReferences[index];
            const Reference &after = newReferences[next->second];
            pairs.push_back({before.target, qint64(after.target - before.target)});
            quint64 oldAddress = 0, newAddress = 0;
            if (oldImage.addressOf(before.offset, &oldAddress) && newImage.addressOf(after.offset, &newAddress))
                pairs.push_back({oldAddress, qint64(newAddress - oldAddress)});
        }
    }
    std::vector<ExecutableImage::Shift> shifts = shiftsOf(std::move(pairs));
    if (qint64(shifts.size()) > ExecPatchFormat::maxShifts)
        shifts.resize(size_t(ExecPatchFormat::maxShifts));

    QByteArray predicted = oldBytes;
    oldImage.predict(&predicted, shifts);
    QByteArray rest;
    PatchMaker bytes;
    if (!bytes.make(predicted, newBytes, &rest)) {
        error = bytes.errorString();
        return false;
    }

    QByteArray block;
    putVarint(&block, shifts.size());
    quint64 from = 0;
    for (const ExecutableImage::Shift &shift : shifts) {
        putVarint(&block, shift.from - from);
        putVarint(&block, (quint64(shift.delta) << 1) ^ quint64(shift.delta >> 63));
        from = shift.from;
    }
    QByteArray compressed(int(ZSTD_compressBound(size_t(block.size()))), Qt::Uninitialized);
    const size_t written = ZSTD_compress(compressed.data(), size_t(compressed.size()), block.constData(),
                                         size_t(block.size()), 19);
    if (ZSTD_isError(written)) {
        error = tr("the shifts could not be compressed: %1").arg(QString::fromLatin1(ZSTD_getErrorName(written)));
        return false;
    }
    compressed.truncate(int(written));

    patch->clear();
    patch->append(ExecPatchFormat::magic, 8);
    char size[8];
    PatchFormat::setInt64(size, compressed.size());
    patch->append(size, 8);
    patch->append(compressed);
    patch->append(rest);
    return true;
}

#include "corpusimages.h"

#include "testpaths.h"

#include <QDir>

namespace vxtest {

namespace {

uint32_t ReadBigEndian32(const std::vector<uint8_t>& bytes, size_t at)
{
    return (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) | (uint32_t(bytes[at + 2]) << 8)
        | bytes[at + 3];
}

bool IsFat(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= 8 && ReadBigEndian32(bytes, 0) == 0xCAFEBABE;
}

vxpatch::ExecutableType KindOfFolder(const QString& folder, const QString& file)
{
    if (folder == "elf32-arm")
        return vxpatch::EXE_ELF_32_ARM;
    if (folder == "elf32-x86")
        return vxpatch::EXE_ELF_32_X86;
    if (folder == "elf64-x64")
        return vxpatch::EXE_ELF_64_X64;
    if (folder == "pe32")
        return vxpatch::EXE_WIN_32_X86;
    if (folder == "pe32plus")
        return vxpatch::EXE_WIN_32_X64;
    if (folder == "macho")
        return file.contains("amd64") ? vxpatch::EXE_MACHO_X64 : vxpatch::EXE_MACHO_X86;
    return vxpatch::EXE_UNKNOWN;
}

template <class Visit>
void ForEachCorpusFile(Visit visit)
{
    const QDir root(corpusDir());
    for (const QString& folder : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir dir(root.filePath(folder));
        for (const QString& file : dir.entryList(QDir::Files, QDir::Name)) {
            const QByteArray data = readFile(dir.filePath(file));
            visit(folder, file, std::vector<uint8_t>(data.begin(), data.end()));
        }
    }
}

} // namespace

std::vector<CorpusImage> LoadCorpusImages()
{
    std::vector<CorpusImage> images;
    ForEachCorpusFile([&](const QString& folder, const QString& file, std::vector<uint8_t> bytes) {
        const QString name = folder + "/" + file;
        if (!IsFat(bytes)) {
            images.push_back({name, std::move(bytes), KindOfFolder(folder, file)});
            return;
        }
        // fat_header: magic, nfat_arch; fat_arch: cputype, cpusubtype, offset, size, align (big-endian).
        const uint32_t count = ReadBigEndian32(bytes, 4);
        for (uint32_t i = 0; i < count && 8 + 20 * (i + 1) <= bytes.size(); ++i) {
            const size_t arch = 8 + 20 * i;
            const uint32_t cputype = ReadBigEndian32(bytes, arch);
            const uint32_t offset = ReadBigEndian32(bytes, arch + 8);
            const uint32_t size = ReadBigEndian32(bytes, arch + 12);
            if (offset > bytes.size() || size > bytes.size() - offset)
                continue;
            const vxpatch::ExecutableType kind =
                cputype == 0x01000007 ? vxpatch::EXE_MACHO_X64 : vxpatch::EXE_MACHO_X86;
            images.push_back({name + QString("#%1").arg(i),
                              std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + size), kind});
        }
    });
    return images;
}

std::vector<CorpusImage> LoadFatCorpusFiles()
{
    std::vector<CorpusImage> files;
    ForEachCorpusFile([&](const QString& folder, const QString& file, std::vector<uint8_t> bytes) {
        if (IsFat(bytes))
            files.push_back({folder + "/" + file, std::move(bytes), vxpatch::EXE_UNKNOWN});
    });
    return files;
}

} // namespace vxtest

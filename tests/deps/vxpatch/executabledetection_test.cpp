#include "assembleimage.h"
#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "corpusimages.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "patcherx86_32.h"
#include "patchstatus.h"
#include "testpaths.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <map>

namespace vxpatch {
namespace {

using vxtest::CorpusImage;

// One "Name {" ... "}" block of llvm-readobj output with its "Key: value" lines.
struct ReadobjBlock {
    QString name;
    std::map<QString, QString> fields;

    uint64_t Number(const QString& key) const
    {
        auto it = fields.find(key);
        return it == fields.end() ? 0 : it->second.section(' ', 0, 0).toULongLong(nullptr, 0);
    }
};

QString ReadobjTool()
{
    for (const char* name : {"llvm-readobj-14", "llvm-readobj"}) {
        const QString path = QStandardPaths::findExecutable(name);
        if (!path.isEmpty())
            return path;
    }
    return QString();
}

std::vector<ReadobjBlock> RunReadobj(const QString& file, const QStringList& options)
{
    QProcess process;
    process.start(ReadobjTool(), options + QStringList{file});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    std::vector<ReadobjBlock> done;
    std::vector<ReadobjBlock> open;
    for (const QString& rawLine : QString::fromUtf8(process.readAllStandardOutput()).split('\n')) {
        const QString line = rawLine.trimmed();
        if (line.endsWith('{') || line.endsWith('[') || line.contains(" [ (")) {
            // Flag lists ("Flags [ (0x2)") open a block of their own.
            open.push_back({line.section(QRegularExpression(" *[{\\[]"), 0, 0), {}});
        } else if ((line == "}" || line == "]") && !open.empty()) {
            done.push_back(open.back());
            open.pop_back();
        } else if (!open.empty() && line.contains(": ")) {
            open.back().fields[line.section(": ", 0, 0)] = line.section(": ", 1);
        }
    }
    return done;
}

// The extent of an image as an independent reader sees its structures: the
// largest end of raw section data, segment file data and header tables.
uint64_t ReadobjExtent(const QString& file, ExecutableType kind)
{
    uint64_t extent = 0;
    if (kind == EXE_WIN_32_X86 || kind == EXE_WIN_32_X64) {
        for (const ReadobjBlock& b : RunReadobj(file, {"--sections"})) {
            if (b.name == "Section")
                extent = std::max(extent, b.Number("PointerToRawData") + b.Number("RawDataSize"));
        }
    } else if (kind == EXE_MACHO_X86 || kind == EXE_MACHO_X64) {
        for (const ReadobjBlock& b : RunReadobj(file, {"--macho-segment"})) {
            // Sectionless 64-bit segments are not part of the image.
            const bool counted = b.fields.count("Cmd") && (b.fields.at("Cmd") == "LC_SEGMENT" || b.Number("nsects") != 0);
            if (b.name == "Segment" && counted)
                extent = std::max(extent, b.Number("fileoff") + b.Number("filesize"));
        }
    } else {
        for (const ReadobjBlock& b : RunReadobj(file, {"--file-headers", "--sections", "--program-headers"})) {
            if (b.name == "ElfHeader") {
                extent = std::max(extent, b.Number("SectionHeaderOffset")
                                      + b.Number("SectionHeaderEntrySize") * b.Number("SectionHeaderCount"));
                extent = std::max(extent, b.Number("ProgramHeaderOffset")
                                      + b.Number("ProgramHeaderEntrySize") * b.Number("ProgramHeaderCount"));
            } else if (b.name == "Section" && !(b.fields.count("Type") && b.fields.at("Type").startsWith("SHT_NOBITS"))) {
                extent = std::max(extent, b.Number("Offset") + b.Number("Size"));
            } else if (b.name == "ProgramHeader") {
                extent = std::max(extent, b.Number("Offset") + b.Number("FileSize"));
            }
        }
    }
    return extent;
}

class CorpusImages : public vxtest::CorpusImageSuite {};

TEST_F(CorpusImages, AreDetectedAsTheirKindWithTheirExtent)
{
    ASSERT_GE(images_->size(), 18u);
    if (ReadobjTool().isEmpty())
        GTEST_SKIP() << "llvm-readobj is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const CorpusImage& image : *images_) {
        SCOPED_TRACE(image.name.toStdString());
        const QString path = dir.filePath("image");
        ASSERT_TRUE(vxtest::writeFile(path, QByteArray(reinterpret_cast<const char*>(image.bytes.data()),
                                                       int(image.bytes.size()))));
        const uint64_t extent = ReadobjExtent(path, image.kind);
        ASSERT_GT(extent, 0u);

        std::vector<uint8_t> padded = image.bytes;
        padded.resize(padded.size() + 333, 0xEE);
        ExecutableType type = EXE_UNKNOWN;
        uint32_t length = 0;
        EXPECT_EQ(DetectExecutable(padded.data(), uint32_t(padded.size()), &type, &length), 1);
        EXPECT_EQ(type, image.kind);
        EXPECT_EQ(length, extent);
    }
}

TEST_F(CorpusImages, FatFilesAreNotThinImages)
{
    const std::vector<CorpusImage> fat = vxtest::LoadFatCorpusFiles();
    ASSERT_FALSE(fat.empty());
    for (const CorpusImage& file : fat) {
        ExecutableType type = EXE_MACHO_X64;
        uint32_t length = 1;
        EXPECT_EQ(DetectExecutable(file.bytes.data(), uint32_t(file.bytes.size()), &type, &length), 24);
        EXPECT_EQ(type, EXE_UNKNOWN);
        EXPECT_EQ(length, 0u);
    }
}

// Disassembles, trims, encodes, serialises, parses and assembles an image;
// returns the assembled bytes.
std::vector<uint8_t> RoundTrip(const std::vector<uint8_t>& image, bool relocatable)
{
    DisassembledProgram* program = nullptr;
    EXPECT_EQ(DisassembleExecutable(image.data(), uint32_t(image.size()), &program), 1);
    if (!program)
        return {};
    // A copy without any label would round-trip trivially.
    EXPECT_FALSE(program->rel32Labels().empty());
    if (relocatable && program->kind() != EXE_ELF_64_X64) {
        EXPECT_FALSE(program->abs32Labels().empty());
    }
    std::map<int, int> kinds;
    for (uint32_t i = 0; i < program->insnCount(); ++i)
        ++kinds[program->insnAt(i)->kind()];
    // Relocation tables that match the absolute locations are rebuilt by the assembly.
    const ExecutableType kind = program->kind();
    if (relocatable && (kind == EXE_WIN_32_X86 || kind == EXE_WIN_32_X64)) {
        EXPECT_EQ(kinds[INSN_PE_RELOCS], 1);
    }
    if (relocatable && kind == EXE_ELF_32_ARM) {
        EXPECT_EQ(kinds[INSN_ELF_ARM_RELOCS], 1);
    }
    EncodedProgram* encoded = nullptr;
    EXPECT_EQ(program->TrimLabelsStatus(), 1u);
    EXPECT_EQ(program->EncodeStatus(&encoded), 1u);
    DeleteDisassembledProgram(program);
    ByteSinkSet sinks;
    ByteSink serialised;
    EXPECT_EQ(EncodedProgramToSet(encoded, &sinks), 1u);
    DestroyEncodedProgram(encoded);
    EXPECT_TRUE(sinks.CopyTo(&serialised));

    ByteSourceSet sources;
    EXPECT_TRUE(sources.Init(serialised.data(), serialised.size()));
    EncodedProgram* parsed = nullptr;
    EXPECT_EQ(EncodedProgramFromSet(&sources, &parsed), 1u);
    if (!parsed)
        return {};
    ByteSink assembled;
    EXPECT_EQ(AssembleEncodedProgram(parsed, &assembled), 1u);
    DestroyEncodedProgram(parsed);
    return std::vector<uint8_t>(assembled.data(), assembled.data() + assembled.size());
}

TEST_F(CorpusImages, AssembleBackToNearlyTheSameBytes)
{
    for (const CorpusImage& image : *images_) {
        SCOPED_TRACE(image.name.toStdString());
        ExecutableType type = EXE_UNKNOWN;
        uint32_t length = 0;
        ASSERT_EQ(DetectExecutable(image.bytes.data(), uint32_t(image.bytes.size()), &type, &length), 1);
        // Shared libraries carry relocations of absolute addresses.
        const bool relocatable = image.name.contains("libssl") || image.name.contains(".dll");
        const std::vector<uint8_t> assembled = RoundTrip(image.bytes, relocatable);
        EXPECT_EQ(assembled.size(), length);
        if (assembled.size() != length)
            continue;
        size_t differing = 0;
        for (size_t i = 0; i < length; ++i)
            differing += assembled[i] != image.bytes[i];
        const double share = double(differing) / length;
        RecordProperty(image.name.toStdString() + " differing bytes", int(differing));
        std::printf("%-48s %8u bytes, %6zu differ (%.3f%%)\n", image.name.toUtf8().constData(), length, differing,
                    100 * share);
        EXPECT_LT(share, 0.02);
    }
}

// The apply path encodes every image as it disassembles it, ARM images too (walked twice, the
// first walk counting the branch targets that trimming keeps): the instruction list's program.
TEST_F(CorpusImages, EncodedDirectlyAsFromTheInstructionList)
{
    int arm = 0;
    for (const CorpusImage& image : *images_) {
        SCOPED_TRACE(image.name.toStdString());
        arm += image.kind == EXE_ELF_32_ARM;
        DisassembledProgram* listed = nullptr;
        DisassembledProgram* direct = nullptr;
        ASSERT_EQ(DisassembleExecutable(image.bytes.data(), uint32_t(image.bytes.size()), &listed), 1);
        const std::vector<uint8_t> fromList = vxtest::SerialiseProgram(listed);
        ASSERT_EQ(DisassembleExecutable(image.bytes.data(), uint32_t(image.bytes.size()), &direct, true), 1);
        EXPECT_EQ(direct->insnCount(), 0u);
        ASSERT_FALSE(fromList.empty());
        EXPECT_TRUE(vxtest::SerialiseProgram(direct) == fromList);
    }
    EXPECT_GE(arm, 2);
}

// The transformed element as a patch's element corrections start from it: the image detected,
// disassembled, trimmed, encoded and serialised by the element patcher.
QByteArray TransformedElement(const std::vector<uint8_t>& image)
{
    ExecutableType type = EXE_UNKNOWN;
    uint32_t length = 0;
    if (DetectExecutable(image.data(), uint32_t(image.size()), &type, &length) != 1)
        return {};
    PatcherX86_32 patcher(image.data(), uint32_t(image.size()));
    ByteSink parameters;
    parameters.WriteVarint32(0);
    parameters.WriteVarint32(length);
    ByteSource source(parameters.data(), parameters.size());
    ByteSourceSet none;
    ByteSinkSet program;
    ByteSink serialised;
    if (patcher.Init(&source) != PATCH_OK || patcher.Transform(&none, &program) != PATCH_OK
        || !program.CopyTo(&serialised))
        return {};
    return QByteArray(reinterpret_cast<const char*>(serialised.data()), int(serialised.size()));
}

// Every published patch corrects exactly these bytes. A disassembler that finds one branch
// site more or fewer still assembles each image back perfectly, yet breaks every patch made
// before it, so these digests pin the published format: they may change only with the format.
TEST_F(CorpusImages, TransformedElementsKeepThePublishedFormat)
{
    const std::map<QString, QString> expected = {
        {"elf32-arm/libssl.so.3-3.0.17", "5e5f0d31240d191e0f7b79071fad4af542466557f1bb396844e2ca4410f397b3"},
        {"elf32-arm/libssl.so.3-3.0.20", "c5d6af9f17880f0f2ee9e86184f5b38af5d196d5d4758f5dd064d29198e2098e"},
        {"elf32-x86/gcc-386-freebsd-exec", "9945596cb737dde6ee0b0374d17cbba4e429a6fc369d39f5313689bba21c865c"},
        {"elf32-x86/libssl.so.3-3.0.17", "f2261bc0f6e1f8dd65efa0d257db57447a1f46f3f527718b7b3893ebceffc714"},
        {"elf32-x86/libssl.so.3-3.0.20", "ddaa3c0c4432f20c4f2ce8ca026df6b858c49a85fdc1c4233fd0abf801dffa2c"},
        {"elf64-x64/gcc-amd64-linux-exec", "d37d71387561237529c9f75d5547081f3977b56b7ee69783664ca27e211f050e"},
        {"elf64-x64/libssl.so.3-3.0.17", "1372e88628474757892dafad464b98cac0eab9460282f52ba70a463cec93f475"},
        {"elf64-x64/libssl.so.3-3.0.20", "5155dfe47f762008ca8ee18d53e6a2b7a5427831e3ef337322d7496862d1e3fb"},
        {"macho/clang-386-darwin-exec-with-rpath", "aedb31cdda9744fc53649d38d6584ace51335c5e6da2c0f17a06b5d8a64b2417"},
        {"macho/clang-amd64-darwin-exec-with-rpath", "993c2307bbe37442c3b7c2d824217c2acac0a338bce74b72dc95d4d22e3509c3"},
        {"macho/fat-gcc-386-amd64-darwin-exec#0", "c97950d8c646ad82b88e9af3fde14aa8e108dbd16730358dbe89acbea0fa5d4b"},
        {"macho/fat-gcc-386-amd64-darwin-exec#1", "39a38b6974df26322d9f4c80209e9a96282a610f4d964edcbb4cab6f0a786b82"},
        {"macho/gcc-386-darwin-exec", "c97950d8c646ad82b88e9af3fde14aa8e108dbd16730358dbe89acbea0fa5d4b"},
        {"macho/gcc-amd64-darwin-exec", "39a38b6974df26322d9f4c80209e9a96282a610f4d964edcbb4cab6f0a786b82"},
        {"pe32/gcc-386-mingw-exec", "badc1ec71dc026660c0dc326c02744e07382ad0903776226e2b11e5eed3716a5"},
        {"pe32/zlib1.dll", "5dc39d2729e5169b5bc58bd1c6e967c29aeb7c79e7c274253dbed1fde5d28008"},
        {"pe32plus/gcc-amd64-mingw-exec", "2911b61c3301a57336c944cdcaa3bf0fde66430f164d63afc50bfe2f46a246d7"},
        {"pe32plus/zlib1.dll", "3099df0b45b1513baa84a0ee5eed68967c295b216252ebd0e2c8e3f5fc3b47b3"},
    };
    EXPECT_EQ(images_->size(), expected.size());
    for (const CorpusImage& image : *images_) {
        SCOPED_TRACE(image.name.toStdString());
        const QByteArray transformed = TransformedElement(image.bytes);
        ASSERT_FALSE(transformed.isEmpty());
        const QString digest =
            QString::fromLatin1(QCryptographicHash::hash(transformed, QCryptographicHash::Sha256).toHex());
        const auto it = expected.find(image.name);
        EXPECT_TRUE(it != expected.end() && it->second == digest)
            << "        {\"" << image.name.toStdString() << "\", \"" << digest.toStdString() << "\"},";
    }
}

} // namespace
} // namespace vxpatch

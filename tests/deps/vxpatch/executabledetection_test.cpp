#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesourceset.h"
#include "corpusimages.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "testpaths.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace vxpatch

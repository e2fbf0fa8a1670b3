#include "ensembleapplier.h"

#include "bytesourceset.h"
#include "crc.h"
#include "encodedprogram.h"
#include "ensembletesthelpers.h"
#include "patcherx86_32.h"
#include "patchstatus.h"
#include "testpaths.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace vxtest;

namespace {

struct CorpusPair {
    const char* folder;
    vxpatch::ExecutableType kind;
};

const CorpusPair kPairs[] = {
    {"elf32-x86", vxpatch::EXE_ELF_32_X86},
    {"elf32-arm", vxpatch::EXE_ELF_32_ARM},
    {"elf64-x64", vxpatch::EXE_ELF_64_X64},
};

struct MadePatch {
    Bytes oldData;
    Bytes newData;
    Bytes patch;
    std::vector<EnsembleElement> elements;
};

// Patches take a while to make; each pair's is made once per run.
const MadePatch& PatchFor(const char* folder)
{
    static std::map<std::string, std::unique_ptr<MadePatch>> made;
    auto& slot = made[folder];
    if (!slot) {
        slot = std::make_unique<MadePatch>();
        const QString dir = corpusDir() + "/" + folder + "/";
        slot->oldData = ToBytes(readFile(dir + "libssl.so.3-3.0.17"));
        slot->newData = ToBytes(readFile(dir + "libssl.so.3-3.0.20"));
        EXPECT_FALSE(slot->oldData.empty());
        EXPECT_TRUE(MakeEnsemblePatch(slot->oldData, slot->newData, EnsembleWriterOptions{},
                                      &slot->patch, &slot->elements));
    }
    return *slot;
}

uint32_t ApplyFiles(const QTemporaryDir& tmp, const Bytes& oldData, const Bytes& patch,
                    const QString& newPath)
{
    const QString oldPath = tmp.filePath("old");
    const QString patchPath = tmp.filePath("patch");
    EXPECT_TRUE(writeFile(oldPath, ToQByteArray(oldData)));
    EXPECT_TRUE(writeFile(patchPath, ToQByteArray(patch)));
    return vxpatch::ApplyEnsemblePatchFiles(oldPath.toUtf8().constData(),
                                            patchPath.toUtf8().constData(),
                                            newPath.toUtf8().constData());
}

TEST(EnsemblePatchCorpus, ElementPatchesRebuildTheNewRelease)
{
    for (const CorpusPair& pair : kPairs) {
        SCOPED_TRACE(pair.folder);
        const MadePatch& made = PatchFor(pair.folder);
        ASSERT_EQ(made.elements.size(), 1u);
        EXPECT_EQ(made.elements[0].kind, pair.kind);
        EXPECT_EQ(made.elements[0].offset, 0u);
        EXPECT_GT(made.elements[0].length, made.oldData.size() / 2);

        QTemporaryDir tmp;
        const QString newPath = tmp.filePath("new");
        ASSERT_EQ(ApplyFiles(tmp, made.oldData, made.patch, newPath), vxpatch::PATCH_OK);
        EXPECT_TRUE(readFile(newPath) == ToQByteArray(made.newData));
    }
}

TEST(EnsemblePatchCorpus, CorruptedOldFileOrPatchWritesNothing)
{
    for (const CorpusPair& pair : kPairs) {
        SCOPED_TRACE(pair.folder);
        const MadePatch& made = PatchFor(pair.folder);
        QTemporaryDir tmp;

        Bytes wrongOld = made.oldData;
        wrongOld[wrongOld.size() / 2] ^= 0x10;
        EXPECT_EQ(ApplyFiles(tmp, wrongOld, made.patch, tmp.filePath("a")),
                  vxpatch::PATCH_CHECKSUM_MISMATCH);
        EXPECT_FALSE(QFile::exists(tmp.filePath("a")));

        for (size_t at : {made.patch.size() / 3, made.patch.size() - 2}) {
            Bytes wrongPatch = made.patch;
            wrongPatch[at] ^= 0x21;
            EXPECT_NE(ApplyFiles(tmp, made.oldData, wrongPatch, tmp.filePath("b")),
                      vxpatch::PATCH_OK);
            EXPECT_FALSE(QFile::exists(tmp.filePath("b")));
        }
    }
}

// A small executable and a changed copy, whose patch lists it as one element.
class SmallElementPatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldData = ToBytes(readFile(corpusDir() + "/elf32-x86/gcc-386-freebsd-exec"));
        ASSERT_FALSE(oldData.empty());
        newData = oldData;
        newData[newData.size() / 2] ^= 0x01;
        const Bytes tail = RandomBytes(300, 9);
        newData.insert(newData.end(), tail.begin(), tail.end());
        ASSERT_TRUE(MakeEnsembleParts(oldData, newData, EnsembleWriterOptions{}, &header, &body,
                                      &elements));
        ASSERT_EQ(elements.size(), 1u);
    }

    // The old element's transformed program as a stream set, as the applier builds it.
    Bytes Transformed() const
    {
        vxpatch::PatcherX86_32 patcher(oldData.data(), uint32_t(oldData.size()));
        vxpatch::ByteSink parameters;
        parameters.WriteVarint32(elements[0].offset);
        parameters.WriteVarint32(elements[0].length);
        vxpatch::ByteSource source;
        source.Init(parameters);
        EXPECT_EQ(patcher.Init(&source), vxpatch::PATCH_OK);
        vxpatch::ByteSourceSet none;
        vxpatch::ByteSinkSet program;
        EXPECT_EQ(patcher.Transform(&none, &program), vxpatch::PATCH_OK);
        vxpatch::ByteSinkSet all;
        all.WriteSet(&program);
        vxpatch::ByteSink sink;
        all.CopyTo(&sink);
        return SinkBytes(sink);
    }

    // Element corrections whose one corrected program is `program`.
    Bytes CorrectTo(vxpatch::ByteSinkSet* program) const
    {
        vxpatch::ByteSinkSet all;
        all.WriteSet(program);
        vxpatch::ByteSink sink;
        all.CopyTo(&sink);
        return DiffOf(Transformed(), SinkBytes(sink));
    }

    Bytes Patch() const
    {
        Bytes patch;
        EXPECT_TRUE(PackEnsemblePatchStored(header, BodyStreamSet(body), &patch));
        return patch;
    }

    Bytes oldData;
    Bytes newData;
    EnsembleHeader header;
    EnsembleBody body;
    std::vector<EnsembleElement> elements;
};

TEST_F(SmallElementPatch, Applies)
{
    const Applied applied = ApplyStreams(oldData, Patch());
    ASSERT_EQ(applied.status, vxpatch::PATCH_OK);
    EXPECT_EQ(applied.output, newData);
}

TEST_F(SmallElementPatch, CorrectedProgramThatDoesNotParseOrAssemble)
{
    vxpatch::ByteSinkSet garbage;
    garbage.stream(0)->WriteVarint32(0xFFFFFFFF);
    body.elementCorrections = CorrectTo(&garbage);
    EXPECT_EQ(ApplyStreams(oldData, Patch()).status, vxpatch::PATCH_BAD_ENCODED_PROGRAM);

    vxpatch::EncodedProgram program;
    ASSERT_TRUE(program.PushRel32(3));  // no such target
    vxpatch::ByteSinkSet unassemblable;
    ASSERT_EQ(vxpatch::EncodedProgramToSet(&program, &unassemblable), vxpatch::PATCH_OK);
    body.elementCorrections = CorrectTo(&unassemblable);
    EXPECT_EQ(ApplyStreams(oldData, Patch()).status, vxpatch::PATCH_ASSEMBLY_FAILED);
}

TEST_F(SmallElementPatch, ElementThatIsNoExecutableFailsItsDisassembly)
{
    // The same element bytes with a broken ELF header: the kind in the list is not checked
    // against the bytes, the disassembler decides.
    Bytes brokenOld = oldData;
    brokenOld[0] = 0;
    header.sourceChecksum = vxpatch::ComputeCrc(brokenOld.data(), uint32_t(brokenOld.size()));
    EXPECT_EQ(ApplyStreams(brokenOld, Patch()).status, vxpatch::PATCH_EXECUTABLE_NOT_RECOGNISED);
}

// Every damaged patch fails or, when both checksums still hold, gives the new bytes; under the
// sanitizers this also shows that nothing is read outside the patch's streams or the old bytes.
TEST_F(SmallElementPatch, DamagedBodiesFailCleanly)
{
    const Bytes bodyBytes = BodyStreamSet(body);
    const size_t step = std::max<size_t>(1, bodyBytes.size() / 700);
    int failures = 0;
    auto check = [&](const Bytes& damaged) {
        Bytes patch;
        ASSERT_TRUE(PackEnsemblePatchStored(header, damaged, &patch));
        const Applied applied = ApplyStreams(oldData, patch);
        if (applied.status == vxpatch::PATCH_OK)
            EXPECT_EQ(applied.output, newData);
        else
            ++failures;
    };
    for (size_t at = 0; at < bodyBytes.size(); at += step) {
        SCOPED_TRACE(at);
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes damaged = bodyBytes;
            damaged[at] ^= flip;
            check(damaged);
        }
        check(Bytes(bodyBytes.begin(), bodyBytes.begin() + at));
    }
    EXPECT_GT(failures, 0);
}

} // namespace

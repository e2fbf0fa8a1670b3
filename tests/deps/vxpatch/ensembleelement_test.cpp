#include "ensembleapplier.h"

#include "bytesourceset.h"
#include "crc.h"
#include "encodedprogram.h"
#include "ensembletesthelpers.h"
#include "patcherx86_32.h"
#include "patchstatus.h"
#include "testpaths.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vxtest;

namespace {

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
    const size_t step = std::max<size_t>(1, bodyBytes.size() / 400);
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

// Exit status and standard error of one run of the command-line tool.
struct ToolRun {
    int exitCode = -1;
    QString errors;
};

ToolRun RunPatchTool(const QStringList& arguments)
{
    QProcess process;
    process.start(VX_PATCH_TOOL, arguments);
    ToolRun run;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

TEST_F(SmallElementPatch, CommandLineToolMakesAndAppliesAndReportsACorruptPatch)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString oldPath = tmp.filePath("old");
    const QString newPath = tmp.filePath("new");
    const QString patchPath = tmp.filePath("patch");
    ASSERT_TRUE(writeFile(oldPath, ToQByteArray(oldData)));
    ASSERT_TRUE(writeFile(newPath, ToQByteArray(newData)));

    ToolRun run = RunPatchTool({"make", oldPath, newPath, patchPath});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    run = RunPatchTool({"apply", oldPath, patchPath, tmp.filePath("out")});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_TRUE(readFile(tmp.filePath("out")) == ToQByteArray(newData));

    QByteArray corrupt = readFile(patchPath);
    corrupt[corrupt.size() / 2] = char(corrupt[corrupt.size() / 2] ^ 0x5A);
    ASSERT_TRUE(writeFile(patchPath, corrupt));
    run = RunPatchTool({"apply", oldPath, patchPath, tmp.filePath("bad")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains(patchPath) && run.errors.contains("status"))
        << run.errors.toStdString();
    EXPECT_FALSE(QFile::exists(tmp.filePath("bad")));

    EXPECT_EQ(RunPatchTool({"apply", oldPath, patchPath}).exitCode, 2);
}

} // namespace

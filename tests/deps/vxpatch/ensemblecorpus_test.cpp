#include "ensembleapplier.h"

#include "ensembletesthelpers.h"
#include "patchstatus.h"
#include "testpaths.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace vxtest;

namespace {

struct CorpusPair {
    const char* folder;
    vxpatch::ExecutableType kind;
};

const CorpusPair kAllPairs[] = {
    {"elf32-x86", vxpatch::EXE_ELF_32_X86},
    {"elf32-arm", vxpatch::EXE_ELF_32_ARM},
    {"elf64-x64", vxpatch::EXE_ELF_64_X64},
};

// Each folder's pair runs in a binary of its own, so that they run side by side.
std::vector<CorpusPair> Pairs()
{
    std::vector<CorpusPair> pairs;
    for (const CorpusPair& pair : kAllPairs) {
        if (std::string(pair.folder) == VX_ENSEMBLE_CORPUS_FOLDER)
            pairs.push_back(pair);
    }
    EXPECT_EQ(pairs.size(), 1u);
    return pairs;
}

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
        // Stored packing: compressing the body adds nothing the other tests do not cover.
        EnsembleHeader header;
        EnsembleBody body;
        EXPECT_TRUE(MakeEnsembleParts(slot->oldData, slot->newData, EnsembleWriterOptions{},
                                      &header, &body, &slot->elements));
        EXPECT_TRUE(PackEnsemblePatchStored(header, BodyStreamSet(body), &slot->patch));
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
    for (const CorpusPair& pair : Pairs()) {
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
    for (const CorpusPair& pair : Pairs()) {
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

} // namespace

#include "ensembleapplier.h"

#include "crc.h"
#include "ensembletesthelpers.h"
#include "patchstatus.h"
#include "testpaths.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

using namespace vxtest;

namespace {

// A patch described by its parts, so that each case can spoil exactly one of them.
struct PatchParts {
    EnsembleHeader header;
    EnsembleBody body;
    uint32_t streamCount = 4;
    // When set, the body stream set is replaced by these bytes.
    bool rawBody = false;
    Bytes bodyBytes;
};

Bytes Build(const PatchParts& parts)
{
    Bytes patch;
    const Bytes body = parts.rawBody ? parts.bodyBytes : BodyStreamSet(parts.body, parts.streamCount);
    EXPECT_TRUE(PackEnsemblePatchStored(parts.header, body, &patch));
    return patch;
}

Bytes Varints(std::initializer_list<uint32_t> values)
{
    vxpatch::ByteSink sink;
    for (uint32_t v : values)
        sink.WriteVarint32(v);
    return SinkBytes(sink);
}

// A method-0 binary diff assembled by hand: new length, the three stream lengths (each taken from
// its stream unless given), then control triples (zigzag varints), diff and extra bytes.
struct RawDiff {
    uint32_t newLength = 0;
    std::vector<std::array<int32_t, 3>> controls;
    Bytes diff;
    Bytes extra;
    int64_t controlLength = -1;
    int64_t diffLength = -1;
    int64_t extraLength = -1;

    Bytes bytes() const
    {
        vxpatch::ByteSink control;
        for (const auto& triple : controls) {
            for (int32_t v : triple)
                control.WriteVarint32Signed(v);
        }
        const Bytes controlBytes = SinkBytes(control);
        vxpatch::ByteSink sink;
        const uint8_t method = 0;
        sink.Write(&method, 1);
        sink.WriteVarint32(newLength);
        sink.WriteVarint32(uint32_t(controlLength >= 0 ? controlLength : int64_t(controlBytes.size())));
        sink.WriteVarint32(uint32_t(diffLength >= 0 ? diffLength : int64_t(diff.size())));
        sink.WriteVarint32(uint32_t(extraLength >= 0 ? extraLength : int64_t(extra.size())));
        sink.Write(controlBytes.data(), controlBytes.size());
        sink.Write(diff.data(), diff.size());
        sink.Write(extra.data(), extra.size());
        return SinkBytes(sink);
    }
};

class EnsembleApplierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldData = RandomBytes(6000, 1);
        newData = Edited(oldData, 2);
        ASSERT_TRUE(MakeEnsembleParts(oldData, newData, EnsembleWriterOptions{false, 0},
                                      &plain.header, &plain.body));
    }

    Bytes oldData;
    Bytes newData;
    PatchParts plain;
};

TEST_F(EnsembleApplierTest, PatchWithoutElementsRebuildsTheNewBytes)
{
    EXPECT_EQ(plain.body.elementList, Varints({0}));
    EXPECT_EQ(plain.header.finalSizePrediction, oldData.size());
    const Applied applied = ApplyStreams(oldData, Build(plain));
    ASSERT_EQ(applied.status, vxpatch::PATCH_OK);
    EXPECT_EQ(applied.output, newData);
}

// The diffs are applied while the body decodes when raw, once decoded in the other layouts.
TEST_F(EnsembleApplierTest, CompressedBodyAppliesInEveryDiffLayout)
{
    for (int method = 0; method <= 2; ++method) {
        SCOPED_TRACE("diff layout " + std::to_string(method));
        Bytes patch;
        ASSERT_TRUE(MakeEnsemblePatch(oldData, newData, EnsembleWriterOptions{false, method}, &patch));
        const Applied applied = ApplyStreams(oldData, patch);
        ASSERT_EQ(applied.status, vxpatch::PATCH_OK);
        EXPECT_EQ(applied.output, newData);
    }
}

TEST_F(EnsembleApplierTest, SpoiledPartsGiveTheirStatus)
{
    const Bytes emptySet = StreamSet({});
    const Bytes oneElementParameters = StreamSet({{0}});
    const Bytes notASet = {1, 2, 3};
    struct Case {
        const char* name;
        std::function<void(PatchParts&)> spoil;
        uint32_t status;
    };
    const Case cases[] = {
        {"wrong magic", [](PatchParts& p) { p.header.magic = 0x756F44; }, vxpatch::PATCH_BAD_MAGIC},
        {"wrong version", [](PatchParts& p) { p.header.version = 20110217; },
         vxpatch::PATCH_BAD_VERSION},
        {"old checksum", [](PatchParts& p) { p.header.sourceChecksum ^= 1; },
         vxpatch::PATCH_CHECKSUM_MISMATCH},
        {"new checksum", [](PatchParts& p) { p.header.targetChecksum ^= 1; },
         vxpatch::PATCH_CHECKSUM_MISMATCH},
        {"unreservable ensemble", [](PatchParts& p) { p.header.finalSizePrediction = 0xFFFFFFFF; },
         vxpatch::PATCH_STREAM_ERROR},
        {"body of three streams", [](PatchParts& p) { p.streamCount = 3; },
         vxpatch::PATCH_STREAM_ERROR},
        {"body no stream set", [&](PatchParts& p) { p.rawBody = true; p.bodyBytes = notASet; },
         vxpatch::PATCH_STREAM_ERROR},
        {"body empty", [&](PatchParts& p) { p.rawBody = true; p.bodyBytes.clear(); },
         vxpatch::PATCH_STREAM_ERROR},
        {"element count missing", [](PatchParts& p) { p.body.elementList.clear(); },
         vxpatch::PATCH_CORRUPT_HEADER},
        {"element kind missing", [](PatchParts& p) { p.body.elementList = Varints({1}); },
         vxpatch::PATCH_CORRUPT_HEADER},
        {"element kind 0", [](PatchParts& p) { p.body.elementList = Varints({1, 0, 0, 10}); },
         vxpatch::PATCH_CORRUPT_HEADER},
        {"element kind 8", [](PatchParts& p) { p.body.elementList = Varints({1, 8, 0, 10}); },
         vxpatch::PATCH_CORRUPT_HEADER},
        {"element parameters missing", [](PatchParts& p) { p.body.elementList = Varints({1, 2, 0}); },
         vxpatch::PATCH_BAD_ELEMENT_PARAMETERS},
        {"element offset past the end",
         [&](PatchParts& p) { p.body.elementList = Varints({1, 2, uint32_t(oldData.size() + 1), 0}); },
         vxpatch::PATCH_BAD_ELEMENT_PARAMETERS},
        {"element length past the end",
         [&](PatchParts& p) { p.body.elementList = Varints({1, 5, 100, uint32_t(oldData.size() - 99)}); },
         vxpatch::PATCH_BAD_ELEMENT_PARAMETERS},
        {"element list left over", [](PatchParts& p) { p.body.elementList = Varints({0, 0}); },
         vxpatch::PATCH_CORRUPT_HEADER},
        {"parameter diff empty", [](PatchParts& p) { p.body.parameterCorrections.clear(); },
         vxpatch::PATCH_GENERAL_FAILURE},
        {"parameters no stream set",
         [&](PatchParts& p) { p.body.parameterCorrections = DiffOf(emptySet, notASet); },
         vxpatch::PATCH_STREAM_ERROR},
        {"parameters left over",
         [&](PatchParts& p) { p.body.parameterCorrections = DiffOf(emptySet, StreamSet({{7}})); },
         vxpatch::PATCH_STREAM_NOT_CONSUMED},
        {"element given parameters",
         [&](PatchParts& p) {
             p.body.elementList = Varints({1, 2, 0, 100});
             p.body.parameterCorrections = DiffOf(oneElementParameters, StreamSet({{1, 1, 9}}));
         },
         vxpatch::PATCH_GENERAL_FAILURE},
        {"element nested set missing",
         [&](PatchParts& p) {
             p.body.elementList = Varints({1, 2, 0, 100});
             p.body.parameterCorrections = DiffOf(oneElementParameters, emptySet);
         },
         vxpatch::PATCH_STREAM_ERROR},
        {"element no executable",
         [&](PatchParts& p) {
             p.body.elementList = Varints({1, 2, 0, 100});
             p.body.parameterCorrections = DiffOf(oneElementParameters, oneElementParameters);
         },
         vxpatch::PATCH_EXECUTABLE_NOT_RECOGNISED},
        {"element diff empty", [](PatchParts& p) { p.body.elementCorrections.clear(); },
         vxpatch::PATCH_GENERAL_FAILURE},
        {"elements no stream set",
         [&](PatchParts& p) { p.body.elementCorrections = DiffOf(emptySet, notASet); },
         vxpatch::PATCH_STREAM_ERROR},
        {"elements left over",
         [&](PatchParts& p) { p.body.elementCorrections = DiffOf(emptySet, StreamSet({{}, {4}})); },
         vxpatch::PATCH_STREAM_NOT_CONSUMED},
        {"ensemble diff empty", [](PatchParts& p) { p.body.ensembleCorrections.clear(); },
         vxpatch::PATCH_GENERAL_FAILURE},
        {"ensemble diff to other bytes",
         [&](PatchParts& p) { p.body.ensembleCorrections = DiffOf(oldData, Edited(newData, 3)); },
         vxpatch::PATCH_CHECKSUM_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PatchParts parts = plain;
        c.spoil(parts);
        const Applied applied = ApplyStreams(oldData, Build(parts));
        EXPECT_EQ(applied.status, c.status);
    }
}

// The body is put to work while it is still being decoded: a body that fails to decode further
// on is still a stream error, whatever the steps that ran meanwhile found, and nothing is made.
TEST_F(EnsembleApplierTest, BodyThatDecodesOnlyInPartIsAStreamError)
{
    PatchParts badList = plain;
    badList.body.elementList.clear();
    struct Case {
        const char* name;
        Bytes patch;
        size_t cut;  // bytes taken off the end
    };
    const Case cases[] = {
        {"end marker missing", Build(plain), 1},
        {"last diff cut short", Build(plain), 40},
        {"element list corrupt and end marker missing", Build(badList), 1},
    };
    ASSERT_EQ(ApplyStreams(oldData, Build(plain)).status, vxpatch::PATCH_OK);
    ASSERT_EQ(ApplyStreams(oldData, Build(badList)).status, vxpatch::PATCH_CORRUPT_HEADER);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes patch = c.patch;
        patch.resize(patch.size() - c.cut);
        EXPECT_EQ(ApplyStreams(oldData, patch).status, vxpatch::PATCH_STREAM_ERROR);
    }
}

// The last diff starts from the old bytes when there are no elements; every way of reaching
// outside its streams or the old bytes fails the application instead.
TEST_F(EnsembleApplierTest, LastDiffReachingOutsideItsDataFails)
{
    const int32_t oldSize = int32_t(oldData.size());
    const Bytes zeros(16, 0);
    struct Case {
        const char* name;
        RawDiff diff;
    };
    const Case cases[] = {
        {"copy longer than the diff stream", RawDiff{16, {{{16, 0, 0}}}, Bytes(8, 0), {}}},
        {"extra longer than the extra stream", RawDiff{16, {{{0, 16, 0}}}, {}, Bytes(8, 1)}},
        {"negative copy", RawDiff{16, {{{-4, 0, 0}}}, zeros, {}}},
        {"negative extra", RawDiff{16, {{{0, -4, 0}}}, {}, zeros}},
        {"old range before the start", RawDiff{16, {{{0, 0, -8}, {16, 0, 0}}}, zeros, {}}},
        {"old range past the end", RawDiff{16, {{{0, 0, oldSize - 8}, {16, 0, 0}}}, zeros, {}}},
        {"copy past the new length", RawDiff{8, {{{16, 0, 0}}}, zeros, {}}},
        {"control length past the end", RawDiff{16, {{{16, 0, 0}}}, zeros, {}, 200}},
        {"diff length past the end", RawDiff{16, {{{16, 0, 0}}}, zeros, {}, -1, 200}},
        {"extra length past the end", RawDiff{16, {{{0, 16, 0}}}, {}, zeros, -1, -1, 200}},
        {"control runs out", RawDiff{32, {{{16, 0, 0}}}, zeros, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PatchParts parts = plain;
        parts.body.ensembleCorrections = c.diff.bytes();
        EXPECT_EQ(ApplyStreams(oldData, Build(parts)).status, vxpatch::PATCH_GENERAL_FAILURE);
    }
    // The same layout within bounds does apply, so the cases above fail for their one fault.
    PatchParts parts = plain;
    parts.body.ensembleCorrections = RawDiff{16, {{{8, 8, 0}}}, Bytes(8, 0), Bytes(8, 7)}.bytes();
    Bytes expected(oldData.begin(), oldData.begin() + 8);
    expected.insert(expected.end(), 8, 7);
    parts.header.targetChecksum = vxpatch::ComputeCrc(expected.data(), uint32_t(expected.size()));
    const Applied applied = ApplyStreams(oldData, Build(parts));
    ASSERT_EQ(applied.status, vxpatch::PATCH_OK);
    EXPECT_EQ(applied.output, expected);
}

TEST_F(EnsembleApplierTest, CutHeaderGivesTheStatusOfTheMissingField)
{
    const Bytes patch = Build(plain);
    const size_t magicEnd = Varints({plain.header.magic}).size();
    const size_t versionEnd = magicEnd + Varints({plain.header.version}).size();
    const size_t headerEnd = Varints({plain.header.magic, plain.header.version,
                                      plain.header.sourceChecksum, plain.header.targetChecksum,
                                      plain.header.finalSizePrediction})
                                 .size();
    for (size_t cut = 0; cut <= headerEnd; ++cut) {
        SCOPED_TRACE(cut);
        const Bytes head(patch.begin(), patch.begin() + cut);
        uint32_t expected = vxpatch::PATCH_STREAM_ERROR;  // header whole, body missing
        if (cut < magicEnd)
            expected = vxpatch::PATCH_BAD_MAGIC;
        else if (cut < versionEnd)
            expected = vxpatch::PATCH_BAD_VERSION;
        else if (cut < headerEnd)
            expected = vxpatch::PATCH_CORRUPT_HEADER;
        EXPECT_EQ(ApplyStreams(oldData, head).status, expected);
    }
}

TEST_F(EnsembleApplierTest, OldChecksumIsCheckedBeforeTheBody)
{
    // A body that cannot even be decoded still yields the checksum status for a wrong old file.
    Bytes broken = Varints({plain.header.magic, plain.header.version, plain.header.sourceChecksum,
                            plain.header.targetChecksum, plain.header.finalSizePrediction});
    broken.insert(broken.end(), {0xFF, 0x01, 0xFF});
    Bytes wrongOld = oldData;
    wrongOld[100] ^= 1;
    EXPECT_EQ(ApplyStreams(wrongOld, broken).status, vxpatch::PATCH_CHECKSUM_MISMATCH);
    EXPECT_EQ(ApplyStreams(oldData, broken).status, vxpatch::PATCH_STREAM_ERROR);
}

TEST_F(EnsembleApplierTest, HeaderReaderKeepsTheFields)
{
    vxpatch::EnsembleApplier applier;
    const Bytes patch = Build(plain);
    vxpatch::ByteSource source(patch.data(), patch.size());
    ASSERT_EQ(applier.ReadHeader(&source), vxpatch::PATCH_OK);
    EXPECT_EQ(applier.sourceChecksum(), vxpatch::ComputeCrc(oldData.data(), uint32_t(oldData.size())));
    EXPECT_EQ(applier.targetChecksum(), vxpatch::ComputeCrc(newData.data(), uint32_t(newData.size())));
    EXPECT_EQ(applier.finalSizePrediction(), oldData.size());
}

TEST(ApplyEnsemblePatchFiles, WritesTheNewFileOnlyAfterASuccessfulApplication)
{
    QTemporaryDir tmp;
    const Bytes oldData = RandomBytes(20000, 4);
    const Bytes newData = Edited(oldData, 5);
    EnsembleHeader header;
    EnsembleBody body;
    ASSERT_TRUE(MakeEnsembleParts(oldData, newData, EnsembleWriterOptions{false, 0}, &header, &body));
    Bytes patch;
    ASSERT_TRUE(PackEnsemblePatchStored(header, BodyStreamSet(body), &patch));
    // An empty old file is an input like any other: a patch made against nothing applies to it.
    EnsembleHeader emptyHeader;
    EnsembleBody emptyBody;
    ASSERT_TRUE(MakeEnsembleParts(Bytes(), newData, EnsembleWriterOptions{false, 0}, &emptyHeader,
                                  &emptyBody));
    Bytes fromEmpty;
    ASSERT_TRUE(PackEnsemblePatchStored(emptyHeader, BodyStreamSet(emptyBody), &fromEmpty));
    Bytes badMagic = patch;
    badMagic[0] ^= 1;
    Bytes wrongOld = oldData;
    wrongOld[5] ^= 1;
    const QString oldPath = tmp.filePath("old");
    const QString wrongOldPath = tmp.filePath("wrongold");
    const QString patchPath = tmp.filePath("patch");
    const QString badMagicPath = tmp.filePath("badmagic");
    const QString emptyPath = tmp.filePath("empty");
    ASSERT_TRUE(writeFile(oldPath, ToQByteArray(oldData)));
    ASSERT_TRUE(writeFile(wrongOldPath, ToQByteArray(wrongOld)));
    ASSERT_TRUE(writeFile(patchPath, ToQByteArray(patch)));
    ASSERT_TRUE(writeFile(badMagicPath, ToQByteArray(badMagic)));
    ASSERT_TRUE(writeFile(emptyPath, QByteArray()));
    const QString fromEmptyPath = tmp.filePath("fromempty");
    ASSERT_TRUE(writeFile(fromEmptyPath, ToQByteArray(fromEmpty)));

    struct Case {
        const char* name;
        QString oldPath;
        QString patchPath;
        QString newPath;
        uint32_t status;
    };
    const Case cases[] = {
        {"patch missing", oldPath, tmp.filePath("nopatch"), tmp.filePath("n1"),
         vxpatch::PATCH_CANNOT_OPEN_PATCH},
        {"patch empty", oldPath, emptyPath, tmp.filePath("n2"), vxpatch::PATCH_CANNOT_OPEN_PATCH},
        {"old missing", tmp.filePath("noold"), patchPath, tmp.filePath("n3"),
         vxpatch::PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW},
        // The header is judged before the old file is opened.
        {"bad magic, old missing", tmp.filePath("noold"), badMagicPath, tmp.filePath("n4"),
         vxpatch::PATCH_BAD_MAGIC},
        {"wrong old file", wrongOldPath, patchPath, tmp.filePath("n5"),
         vxpatch::PATCH_CHECKSUM_MISMATCH},
        {"new folder missing", oldPath, patchPath, tmp.filePath("no/dir/n6"),
         vxpatch::PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW},
        {"success", oldPath, patchPath, tmp.filePath("n7"), vxpatch::PATCH_OK},
        {"old empty", emptyPath, fromEmptyPath, tmp.filePath("n8"), vxpatch::PATCH_OK},
        {"old empty, patch for another old", emptyPath, patchPath, tmp.filePath("n9"),
         vxpatch::PATCH_CHECKSUM_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray newPath = c.newPath.toUtf8();
        EXPECT_EQ(vxpatch::ApplyEnsemblePatchFiles(c.oldPath.toUtf8().constData(),
                                                   c.patchPath.toUtf8().constData(),
                                                   newPath.constData()),
                  c.status);
        if (c.status == vxpatch::PATCH_OK)
            EXPECT_EQ(readFile(c.newPath), ToQByteArray(newData));
        else
            EXPECT_FALSE(QFile::exists(c.newPath));
    }
}

} // namespace

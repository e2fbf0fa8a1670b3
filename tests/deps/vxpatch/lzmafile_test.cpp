#include "lzmafiletestsupport.h"

#include <gtest/gtest.h>

namespace {

using namespace lzmafiletest;

TEST_F(LzmaFileTest, RoundTripsNonExecutablesAsPlainContainersWithoutMessages)
{
    std::mt19937 rng(17);
    Bytes random(70000);
    for (auto& b : random)
        b = static_cast<uint8_t>(rng());
    const struct {
        const char* name;
        QByteArray data;
    } inputs[] = {
        {"text.ini", QByteArray("[update]\nstreams=6\n").repeated(300)},
        {"random.bin", ToArray(random)},
        {"one", QByteArray("x")},
        {"elf-magic-only",
            QByteArray("\x7f"
                       "ELF",
                4)
                .append(QByteArray(5000, '\0'))},
        {"empty", QByteArray()},
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.name);
        const QString file = path(input.name);
        ASSERT_TRUE(vxtest::writeFile(file, input.data));
        PatchLogCapture capture;
        EXPECT_EQ(1u, ReadHeader(roundTrip(file, true)).directive);
        EXPECT_TRUE(capture.messages.empty()) << capture.messages.front();
    }
}

TEST_F(LzmaFileTest, PlainBodyIsARawLzma2StreamThatXzDecodes)
{
    const QByteArray text = QByteArray("cross-check with an independent decoder\n").repeated(500);
    const QString file = path("text");
    ASSERT_TRUE(vxtest::writeFile(file, text));
    const QByteArray container = roundTrip(file, false);
    size_t headerLength = 0;
    ReadHeader(container, &headerLength);
    vxpatch::ByteSource block(
        reinterpret_cast<const uint8_t*>(container.constData()) + headerLength,
        container.size() - headerLength);
    uint8_t property = 0;
    uint32_t unpacked = 0;
    ASSERT_TRUE(block.ReadBytes(&property, 1) && block.ReadVarint32(&unpacked));
    EXPECT_EQ(static_cast<uint32_t>(text.size()), unpacked);

    QProcess xz;
    xz.start("xz", {"--format=raw", "--lzma2=preset=9", "-d", "-c"});
    ASSERT_TRUE(xz.waitForStarted());
    xz.write(
        reinterpret_cast<const char*>(block.current()), static_cast<qint64>(block.Remaining()));
    xz.closeWriteChannel();
    ASSERT_TRUE(xz.waitForFinished());
    EXPECT_EQ(0, xz.exitCode());
    EXPECT_TRUE(xz.readAllStandardOutput() == text);
}

TEST_F(LzmaFileTest, EmptyPlainContainerUnpacksToEmptyFile)
{
    const Bytes container =
        Container(vxpatch::kLzmaFileMagic, vxpatch::ComputeCrc(nullptr, 0), 1, Block({}));
    ASSERT_TRUE(vxtest::writeFile(path("empty._lzma2_"), ToArray(container)));
    EXPECT_TRUE(vxpatch::UnpackLzmaFile(Utf8(path("empty._lzma2_")), Utf8(path("empty"))));
    EXPECT_TRUE(QFile::exists(path("empty")));
    EXPECT_EQ(0, QFileInfo(path("empty")).size());
}

TEST_F(LzmaFileTest, HandMadeDisAndDiffContainerUnpacks)
{
    const Bytes literal = {'c', 'o', 'd', 'e', 1, 2, 3};
    const Bytes target = {'c', 'o', 'd', 'e', 1, 2, 3, 'd', 'a', 't', 'a'};
    const Bytes set = StreamSet(2, [&](vxpatch::ByteSinkSet* s) {
        WriteLiteralProgram(literal, s->stream(0));
        const Bytes diff = RawDiff(literal, target);
        s->stream(1)->Write(diff.data(), diff.size());
    });
    const Bytes container = Container(
        vxpatch::kLzmaFileMagic, vxpatch::ComputeCrc(target.data(), target.size()), 2, Block(set));
    ASSERT_TRUE(vxtest::writeFile(path("two._lzma2_"), ToArray(container)));
    ASSERT_TRUE(vxpatch::UnpackLzmaFile(Utf8(path("two._lzma2_")), Utf8(path("two"))));
    EXPECT_TRUE(ToBytes(vxtest::readFile(path("two"))) == target);
}

TEST_F(LzmaFileTest, ReaderFailsWithEachMessageAndWritesNothing)
{
    const Bytes data = {'a', 'b', 'c'};
    const uint32_t crc = vxpatch::ComputeCrc(data.data(), 3);
    const uint32_t magic = vxpatch::kLzmaFileMagic;
    const Bytes diffOnly = RawDiff({}, data);

    expectUnpackFails({}, "could not open lzma file");
    expectUnpackFails({0xE9, 0xAE, 0xA8, 0x3F, 0x01}, "could not read lzma header");
    expectUnpackFails(Container(magic + 1, crc, 1, Block(data)), "not lzma file");
    expectUnpackFails(
        Container(magic, crc, 1, {0x16, 0x03, 0xFF, 0xFF}), "could not decompress file");
    expectUnpackFails(Container(magic, crc, 3, Block(data)), "Unknown preprocessing dirrective");
    expectUnpackFails(Container(magic, crc, 0, Block(data)), "Unknown preprocessing dirrective");
    expectUnpackFails(Container(magic, crc ^ 1, 1, Block(data)), "crc mismatch");
    expectUnpackFails(Container(magic, crc, 2, {0x16}), "could not decompress file");
    expectUnpackFails(Container(magic, crc, 2, Block(data)), "could not init dif_and_dis set");
    expectUnpackFails(Container(magic, crc, 2,
                          Block(StreamSet(1,
                              [&](vxpatch::ByteSinkSet* s) {
                                  s->stream(0)->Write(diffOnly.data(), diffOnly.size());
                              }))),
        "dis_and_diff too small");
    expectUnpackFails(
        Container(magic, crc, 2,
            Block(StreamSet(2, [&](vxpatch::ByteSinkSet* s) { s->stream(0)->Write("junk", 4); }))),
        "could not init program_source set");
    expectUnpackFails(Container(magic, crc, 2,
                          Block(StreamSet(2,
                              [&](vxpatch::ByteSinkSet* s) {
                                  vxpatch::ByteSinkSet empty;
                                  empty.SetCount(1);
                                  empty.CopyTo(s->stream(0));
                              }))),
        "could not read encoded program");
    expectUnpackFails(Container(magic, crc, 2,
                          Block(StreamSet(2,
                              [&](vxpatch::ByteSinkSet* s) {
                                  WriteLiteralProgram(data, s->stream(0));
                                  s->stream(1)->Write("\x05", 1);
                              }))),
        "could not apply diff");
    expectUnpackFails(Container(magic, crc ^ 0x100, 2,
                          Block(StreamSet(2,
                              [&](vxpatch::ByteSinkSet* s) {
                                  WriteLiteralProgram(data, s->stream(0));
                                  const Bytes diff = RawDiff(data, data);
                                  s->stream(1)->Write(diff.data(), diff.size());
                              }))),
        "crc mismatch");
}

TEST_F(LzmaFileTest, ReaderRefusesUnassemblableProgram)
{
    // A relative reference to a target the program does not have.
    vxpatch::EncodedProgram program;
    ASSERT_TRUE(program.PushRel32(7));
    vxpatch::ByteSinkSet programSet;
    ASSERT_EQ(1u, vxpatch::EncodedProgramToSet(&program, &programSet));
    const Bytes set =
        StreamSet(2, [&](vxpatch::ByteSinkSet* s) { programSet.CopyTo(s->stream(0)); });
    const Bytes container = Container(vxpatch::kLzmaFileMagic, 0, 2, Block(set));
    const QString input = path("unassemblable._lzma2_");
    ASSERT_TRUE(vxtest::writeFile(input, ToArray(container)));
    PatchLogCapture capture;
    EXPECT_FALSE(vxpatch::UnpackLzmaFile(Utf8(input), Utf8(path("out"))));
    EXPECT_TRUE(capture.contains("could not assemble program") ||
        capture.contains("could not read encoded program"));
    EXPECT_FALSE(QFile::exists(path("out")));
}

TEST_F(LzmaFileTest, UnwritableOutputFailsWithoutLeavingAFile)
{
    const QString file = path("data");
    ASSERT_TRUE(vxtest::writeFile(file, "payload"));
    PatchLogCapture capture;
    const QString missingDir = path("missing/out");
    EXPECT_FALSE(vxpatch::PackLzmaFile(Utf8(file), Utf8(missingDir), false));
    EXPECT_TRUE(capture.contains("could not write output file"));
    ASSERT_TRUE(vxpatch::PackLzmaFile(Utf8(file), Utf8(path("packed")), false));
    EXPECT_FALSE(vxpatch::UnpackLzmaFile(Utf8(path("packed")), Utf8(missingDir)));
    EXPECT_FALSE(QFile::exists(missingDir));
}

// The size limit is judged on the declared size, before the block is decoded: a block that
// claims gigabytes is refused by the limit, not by the decoder.
TEST_F(LzmaFileTest, LimitedReaderRefusesDeclaredSizesOverTheLimit)
{
    const Bytes data(1000, 'i');
    const uint32_t crc = vxpatch::ComputeCrc(data.data(), data.size());
    const uint32_t magic = vxpatch::kLzmaFileMagic;
    const Bytes claimsMore = {0x16, 0xF0, 0xFF, 0xFF, 0xFF, 0x0F, 0x00};
    const struct {
        const char* name;
        Bytes container;
        uint32_t limit;
        const char* message; // null: unpacks
    } cases[] = {
        {"at the limit", Container(magic, crc, 1, Block(data)), 1000, nullptr},
        {"one byte over", Container(magic, crc, 1, Block(data)), 999,
            "unpacked size 1000 exceeds the limit of 999 bytes"},
        {"claims 4 GiB", Container(magic, crc, 1, claimsMore), 1 << 24,
            "unpacked size 4294967280 exceeds the limit of 16777216 bytes"},
        {"preprocessed", Container(magic, crc, 2, Block(data)), 1 << 24,
            "a size-limited package must be plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(vxtest::writeFile(path("limited._lzma2_"), ToArray(c.container)));
        QFile::remove(path("limited"));
        PatchLogCapture capture;
        const bool ok = vxpatch::UnpackLzmaFileLimited(
            Utf8(path("limited._lzma2_")), Utf8(path("limited")), c.limit);
        EXPECT_EQ(ok, c.message == nullptr);
        EXPECT_EQ(QFile::exists(path("limited")), ok);
        if (c.message) {
            ASSERT_EQ(capture.messages.size(), 1u);
            EXPECT_TRUE(capture.contains(c.message)) << capture.messages.front();
        }
    }
}

TEST_F(LzmaFileTest, PackerReportsUnreadableInput)
{
    PatchLogCapture capture;
    EXPECT_FALSE(vxpatch::PackLzmaFile(Utf8(path("absent")), Utf8(path("out")), true));
    EXPECT_TRUE(capture.contains("could not open file"));
    EXPECT_FALSE(QFile::exists(path("out")));
}

} // namespace

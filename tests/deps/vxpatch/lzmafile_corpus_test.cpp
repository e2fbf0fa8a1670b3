#include "lzmafiletestsupport.h"

#include <gtest/gtest.h>

// Level-9 compression is slow under the sanitizers, so the corpus is split over several
// binaries that CTest runs side by side; each is built with the folder it covers.
#ifndef VX_LZMAFILE_CORPUS_FOLDER
#error "VX_LZMAFILE_CORPUS_FOLDER names the corpus folder this binary covers"
#endif

namespace {

using namespace lzmafiletest;

TEST_F(LzmaFileTest, RoundTripsEveryCorpusFileWithAndWithoutPreprocessing)
{
    const QString folder = VX_LZMAFILE_CORPUS_FOLDER;
    QStringList files;
    for (const QString& file : CorpusFiles()) {
        if (file.startsWith(vxtest::corpusDir() + "/" + folder + "/"))
            files << file;
    }
    ASSERT_GE(files.size(), 2);
    int preprocessed = 0;
    for (const QString& file : files) {
        SCOPED_TRACE(Utf8(file));
        EXPECT_EQ(1u, ReadHeader(roundTrip(file, false)).directive);
        const ContainerHeader header = ReadHeader(roundTrip(file, true));
        EXPECT_EQ(vxpatch::kLzmaFileMagic, header.magic);
        const QByteArray original = vxtest::readFile(file);
        EXPECT_EQ(vxpatch::ComputeCrc(
                      reinterpret_cast<const uint8_t*>(original.constData()), original.size()),
            header.crc);
        if (header.directive == vxpatch::LZMA_FILE_DIS_AND_DIFF)
            ++preprocessed;
    }
    // The executables the disassemblers take must really go through directive 2.
    EXPECT_GE(preprocessed, files.size() / 2);
}

TEST_F(LzmaFileTest, FatMachOIsSlicedUnlessItListsTooManySlices)
{
    if (QString(VX_LZMAFILE_CORPUS_FOLDER) != "macho")
        GTEST_SKIP() << "covered by the macho binary";
    const QString fat = vxtest::corpusDir() + "/macho/fat-gcc-386-amd64-darwin-exec";
    QByteArray image = vxtest::readFile(fat);
    ASSERT_GE(image.size(), 4096);
    {
        PatchLogCapture capture;
        roundTrip(fat, true);
        EXPECT_TRUE(capture.contains("detected MACHO_X86"));
        EXPECT_TRUE(capture.contains("detected MACHO_X64"));
    }
    // Nine entries: slicing is skipped and the whole file is not an executable.
    image[7] = 9;
    const QString nine = path("fat-nine");
    ASSERT_TRUE(vxtest::writeFile(nine, image));
    PatchLogCapture capture;
    EXPECT_EQ(1u, ReadHeader(roundTrip(nine, true)).directive);
    EXPECT_FALSE(capture.contains("detected MACHO_X86"));
}

} // namespace

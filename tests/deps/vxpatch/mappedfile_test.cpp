#include "mappedfile.h"
#include "writefile.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vxpatch {
namespace {

class MappedFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vxpatch_mapped_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string writeBytes(const std::string& name, size_t length)
    {
        std::vector<uint8_t> bytes(length);
        for (size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(length));
        return path;
    }

    std::string dir_;
};

TEST_F(MappedFileTest, MapsTheWholeFile)
{
    const std::string path = writeBytes("whole", 6000);
    MappedFile file(path);
    ASSERT_TRUE(file.IsMapped());
    EXPECT_EQ(file.size(), 6000u);
    EXPECT_EQ(file.viewLength(), 6000u);
    EXPECT_EQ(file[5999], static_cast<uint8_t>(5999 * 7 + 3));
    EXPECT_EQ(file.At(1), 10);
    EXPECT_FALSE(file.Open(path));  // a view is already mapped
    EXPECT_EQ(file.Close(), 0);
    EXPECT_FALSE(file.IsMapped());
    EXPECT_EQ(file.size(), 0u);
}

TEST_F(MappedFileTest, MissingAndEmptyFilesMapNothing)
{
    MappedFile missing(dir_ + "/missing");
    EXPECT_FALSE(missing.IsMapped());
    EXPECT_EQ(missing.Close(), 0);
    EXPECT_FALSE(missing.Map(0, 0));

    MappedFile empty(writeBytes("empty", 0));
    EXPECT_FALSE(empty.IsMapped());
    EXPECT_EQ(empty.size(), 0u);
}

TEST_F(MappedFileTest, MapClipsToTheFileAndRefusesOffsetsPastIt)
{
    MappedFile file(writeBytes("six", 600));
    ASSERT_TRUE(file.IsMapped());
    ASSERT_TRUE(file.Map(100, 1000));
    EXPECT_EQ(file.viewLength(), 500u);
    EXPECT_EQ(file[0], static_cast<uint8_t>(100 * 7 + 3));
    EXPECT_EQ(file[499], static_cast<uint8_t>(599 * 7 + 3));
    EXPECT_FALSE(file.Map(600, 0));
    EXPECT_FALSE(file.IsMapped());
    EXPECT_FALSE(file.Map(601, 10));
    ASSERT_TRUE(file.Map(0, 10));
    EXPECT_EQ(file.viewLength(), 10u);
}

TEST_F(MappedFileTest, CheckedAccessThrowsTheTwoTexts)
{
    MappedFile none;
    try {
        none.At(0);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "No view mapped");
    }
    MappedFile file(writeBytes("ten", 10));
    ASSERT_TRUE(file.IsMapped());
    EXPECT_NO_THROW(file.At(9));
    try {
        file.At(10);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "View is not large enough");
    }
}

TEST_F(MappedFileTest, PageSizeIsThePlatformsPageSize)
{
    EXPECT_EQ(MappedFile::PageSize(), sysconf(_SC_PAGESIZE));
}

TEST_F(MappedFileTest, WriteFileReportsWhatReachedTheFile)
{
    const std::string path = dir_ + "/out";
    EXPECT_EQ(WriteFile(path, "abc", 3), 3u);
    MappedFile file(path);
    ASSERT_TRUE(file.IsMapped());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), file.viewLength()), "abc");

    EXPECT_EQ(WriteFile(dir_ + "/no/such/dir/out", "abc", 3), 0u);
    EXPECT_EQ(WriteFile(dir_ + "/zero", "", 0), 0u);
    EXPECT_EQ(access((dir_ + "/zero").c_str(), F_OK), 0);
    // The bytes fit the stdio buffer, so only the close finds the full device.
    EXPECT_EQ(WriteFile("/dev/full", "abc", 3), 0u);
}

} // namespace
} // namespace vxpatch

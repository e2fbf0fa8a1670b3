#include "vxdiff.h"

#include "testpaths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes MakePatch(const Bytes& oldBytes, const Bytes& newBytes, bool withHeader, int method)
{
    vxpatch::ByteSource oldSource(oldBytes.data(), oldBytes.size());
    vxpatch::ByteSource newSource(newBytes.data(), newBytes.size());
    vxpatch::ByteSink patch;
    EXPECT_TRUE(vxpatch::MakeVxdiffPatch(&oldSource, &newSource, &patch, withHeader, method));
    return Bytes(patch.data(), patch.data() + patch.size());
}

bool Apply(const Bytes& oldBytes, const Bytes& patch, bool withHeader, Bytes* out)
{
    vxpatch::ByteSource oldSource(oldBytes.data(), oldBytes.size());
    vxpatch::ByteSource patchSource(patch.data(), patch.size());
    vxpatch::ByteSink output;
    const bool ok = vxpatch::ApplyVxdiffPatch(&oldSource, &patchSource, &output, withHeader);
    *out = Bytes(output.data(), output.data() + output.size());
    return ok;
}

TEST(VxdiffPatch, RoundTripsCorpusReleasePairsInEveryMethod)
{
    for (const char* folder : {"elf32-x86", "elf32-arm", "elf64-x64"}) {
        const QString dir = vxtest::corpusDir() + "/" + folder + "/libssl.so.3-3.0.";
        const QByteArray oldFile = vxtest::readFile(dir + "17");
        const QByteArray newFile = vxtest::readFile(dir + "20");
        ASSERT_FALSE(oldFile.isEmpty()) << folder;
        ASSERT_FALSE(newFile.isEmpty()) << folder;
        const Bytes oldBytes(oldFile.begin(), oldFile.end());
        const Bytes newBytes(newFile.begin(), newFile.end());
        for (int method = 0; method <= 2; ++method) {
            SCOPED_TRACE(std::string(folder) + ", method " + std::to_string(method));
            const bool withHeader = method == 1;
            const Bytes patch = MakePatch(oldBytes, newBytes, withHeader, method);
            Bytes rebuilt;
            ASSERT_TRUE(Apply(oldBytes, patch, withHeader, &rebuilt));
            EXPECT_TRUE(rebuilt == newBytes);
            // Two releases share most of their bytes: a compressed diff must find that.
            if (method != 0) {
                EXPECT_LT(patch.size(), newBytes.size() / 10);
            }
        }
    }
}

} // namespace

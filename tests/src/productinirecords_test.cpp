#include "downloadreplacelists.h"
#include "patchentry.h"

#include <gtest/gtest.h>

TEST(UpdateFileEntry, TwoPartEntryIsInstalledUnderItsKey)
{
    const UpdateFileEntry entry("bin", "lib/a.so", QString(), 0, QString());
    EXPECT_FALSE(entry.hasTarget());
    EXPECT_FALSE(entry.hasPatch());
    EXPECT_EQ(entry.effectiveName(), QString("lib/a.so"));
}

TEST(UpdateFileEntry, TargetAndPatchChangeEffectiveNameAndKind)
{
    const UpdateFileEntry entry("bin", "pkg/a.so._lzma2_", "abcd", 42, "lib/a.so", "a.so_patch_");
    EXPECT_TRUE(entry.hasTarget());
    EXPECT_TRUE(entry.hasPatch());
    EXPECT_EQ(entry.effectiveName(), QString("lib/a.so"));
    EXPECT_EQ(entry.size, 42u);
}

TEST(UpdateFileEntry, PrefixedNameKeepsDirectoryPart)
{
    struct Case { QString name; QString target; QString prefix; QString expected; };
    const Case cases[] = {
        { "x", "lib/a.so", "old_", "lib/old_a.so" },
        { "a.so", "", "old_", "old_a.so" },
        { "x", "lib/a.so", "", "lib/a.so" },
        { "a.so", "", "", "a.so" },
        { "x", "deep/er/path/b.bin", "new_", "deep/er/path/new_b.bin" },
        { "plugins/p.so", "", ".bak_", "plugins/.bak_p.so" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.name + " -> " + c.target + " with " + c.prefix).toStdString());
        const UpdateFileEntry entry("s", c.name, QString(), 0, c.target);
        EXPECT_EQ(entry.prefixedName(c.prefix), c.expected);
    }
}

TEST(DownloadReplaceLists, CopiesListByList)
{
    DownloadReplaceLists lists;
    EXPECT_TRUE(lists.downloadList.isEmpty() && lists.replaceList.isEmpty() && lists.deleteList.isEmpty()
                && lists.preinstallList.isEmpty() && lists.postinstallList.isEmpty());
    lists.downloadList << DownloadEntry("bin", "a", "ff", 3);
    lists.replaceList << UpdateFileEntry("bin", "a", "", 0, "");
    lists.deleteList << DeleteEntry("old", true);
    lists.preinstallList << PrePostInstallEntry("pre.sh", { "--dir", "/opt" }, false);
    lists.postinstallList << PrePostInstallEntry("post.sh", {}, true);

    DownloadReplaceLists copy(lists);
    DownloadReplaceLists assigned;
    assigned = lists;
    lists.downloadList.clear();
    lists.deleteList[0].path = "changed";
    for (const DownloadReplaceLists* l : { &copy, &assigned }) {
        ASSERT_EQ(l->downloadList.size(), 1);
        EXPECT_EQ(l->downloadList[0].size, 3u);
        EXPECT_EQ(l->deleteList[0].path, QString("old"));
        EXPECT_TRUE(l->deleteList[0].recursive);
        EXPECT_FALSE(l->preinstallList[0].required);
        EXPECT_EQ(l->preinstallList[0].args, (QStringList{ "--dir", "/opt" }));
        EXPECT_TRUE(l->postinstallList[0].required);
    }
}

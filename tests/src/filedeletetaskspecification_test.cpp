#include "filedeletetaskspecification.h"

#include "eventloop.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using vxtest::EventLog;

namespace {

// A small installed tree: a/f1, a/sub/f2, empty/, keep/other.txt, keep/p/q/r/ (empty chain).
void makeTree(const QString& root)
{
    ASSERT_TRUE(QDir().mkpath(root + "/a/sub"));
    ASSERT_TRUE(QDir().mkpath(root + "/empty"));
    ASSERT_TRUE(QDir().mkpath(root + "/keep/p/q/r"));
    ASSERT_TRUE(vxtest::writeFile(root + "/a/f1", "1"));
    ASSERT_TRUE(vxtest::writeFile(root + "/a/sub/f2", "2"));
    ASSERT_TRUE(vxtest::writeFile(root + "/keep/other.txt", "o"));
}

} // namespace

TEST(FileDeleteTaskSpecification, FollowsTheDeletionRulesOnARealTree)
{
    struct Case {
        const char* target;
        bool failOnError;
        bool recursive;
        int state;
        QStringList lines; // without the final "finished"/"canceled"
        QStringList gone;
        QStringList kept;
    };
    const int ok = TaskSpecification::TASK_FINISHED;
    const int failed = TaskSpecification::TASK_FAILED;
    const Case cases[] = {
        {"a/f1", true, false, ok, {"Deleted file '%1'"}, {"a/f1"}, {"a/sub/f2"}},
        {"missing", false, false, ok, {}, {}, {}},
        {"missing", true, false, failed, {"Could not delete '%1'"}, {}, {}},
        {"a", false, false, ok, {}, {}, {"a/f1", "a/sub/f2"}},
        {"a", true, false, failed, {"Could not delete '%1'"}, {}, {"a/f1", "a/sub/f2"}},
        {"a", true, true, ok, {"Recursively deleted directory '%1'"}, {"a"}, {"keep/other.txt"}},
        {"empty", true, false, ok, {"Deleted directory '%1'"}, {"empty"}, {"a/f1"}},
        // Parents that become empty go too, up to the first that still holds something.
        {"keep/p/q/r", true, false, ok, {"Deleted directory '%1'"}, {"keep/p"}, {"keep/other.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.target) + (c.failOnError ? " failOnError" : "") +
                     (c.recursive ? " recursive" : ""));
        QTemporaryDir tmp;
        makeTree(tmp.path());
        const QString target = tmp.filePath(c.target);
        FileDeleteTaskSpecification task(c.failOnError, target, c.recursive, nullptr, 1.0);
        EventLog log(&task);
        task.execute();
        EXPECT_EQ(task.getState(), c.state);
        QStringList expected;
        for (const QString& line : c.lines)
            expected << "message:" + line.arg(target);
        expected << (c.state == ok ? "finished" : "canceled");
        EXPECT_EQ(log.lines, expected);
        for (const QString& p : c.gone)
            EXPECT_FALSE(QFileInfo::exists(tmp.filePath(p))) << p.toStdString();
        for (const QString& p : c.kept)
            EXPECT_TRUE(QFileInfo::exists(tmp.filePath(p))) << p.toStdString();
    }
}

TEST(FileDeleteTaskSpecification, RemovesALinkWithoutEmptyingItsTarget)
{
    QTemporaryDir outside;
    QTemporaryDir install;
    ASSERT_TRUE(vxtest::writeFile(outside.filePath("precious"), "data"));
    const QString link = install.filePath("linked");
    ASSERT_TRUE(QFile::link(outside.path(), link));
    FileDeleteTaskSpecification task(true, link, true, nullptr, 1.0);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_EQ(vxtest::readFile(outside.filePath("precious")), QByteArray("data"));
}

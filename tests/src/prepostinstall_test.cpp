#include "prepostinstallfunc.h"
#include "prepostinstalllisttaskspecification.h"
#include "prepostinstalltaskspecification.h"

#include "configuration.h"
#include "eventloop.h"
#include "installscripts.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using vxtest::EventLog;

namespace {

// Runs one install program directly (in this thread) and keeps what it reported.
struct FuncRun
{
    bool result = false;
    QStringList messages;
    int reboots = 0;
};

FuncRun runFunc(PrePostInstallEntry* entry, Configuration* config)
{
    PrePostInstallFunc func(entry, config);
    QSignalSpy messages(&func, &ASyncFunc::message);
    QSignalSpy errors(&func, &ASyncFunc::error);
    QSignalSpy reboots(&func, &PrePostInstallFunc::reboot_with_confirmation);
    FuncRun run;
    run.result = func.run();
    for (const QList<QVariant>& args : messages)
        run.messages << args.at(0).toString();
    run.reboots = reboots.count();
    EXPECT_EQ(errors.count(), 0) << "install programs report through message only";
    return run;
}

QStringList lines(const QString& path)
{
    return QString::fromUtf8(vxtest::readFile(path)).split('\n', Qt::SkipEmptyParts);
}

// Stands in for the main window: its slot tells which thread it ran in.
class RebootWindow : public QObject
{
    Q_OBJECT
public:
    QThread* slotThread = nullptr;
public slots:
    void onRebootWithConfirmation()
    {
        slotThread = QThread::currentThread();
        emit rebootAsked();
    }
signals:
    void rebootAsked();
};

class InstallFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(work.isValid());
        config.workDir = work.path();
    }
    QString path(const QString& name) const { return work.filePath(name); }
    void script(const QString& name, const QByteArray& body)
    {
        ASSERT_TRUE(vxtest::writeScript(path(name), body));
    }

    QTemporaryDir work;
    Configuration config;
};

using PrePostInstallFuncTest = InstallFixture;
using PrePostInstallListTest = InstallFixture;

} // namespace

TEST_F(PrePostInstallFuncTest, ExitCodeDecidesResultAndReport)
{
    struct Case
    {
        const char* body;
        bool required;
        bool result;
        QStringList reports; // after "Starting prog"
    };
    const Case cases[] = {
        {"exit 0", true, true, {"prog completed sucessfully"}},
        {"exit 0", false, true, {"prog completed sucessfully"}},
        {"exit 1", true, false, {"Failed to complete prog, exit code: 1"}},
        {"exit 1", false, true, {"Failed to complete prog, exit code: 1"}},
        {"exit 2", true, false, {}},
        {"exit 2", false, true, {}},
        {"exit 255", true, false, {}},
        // Exit statuses are eight bits wide here: 1010 arrives as 242 and still asks for a reboot.
        {"exit 1010", true, true, {"prog completed sucessfully, reboot required"}},
        {"exit 1010", false, true, {"prog completed sucessfully, reboot required"}},
        // Killed by a signal: a crash counts as -1.
        {"kill -KILL $$", true, false, {}},
        {"kill -KILL $$", false, true, {}},
        // Signal 1 must not pass for exit code 1.
        {"exec python3 -c 'import os, signal; signal.signal(signal.SIGHUP, signal.SIG_DFL); "
         "os.kill(os.getpid(), signal.SIGHUP)'",
         true, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.body) + (c.required ? " required" : " optional"));
        script("prog", c.body);
        PrePostInstallEntry entry("prog", {}, c.required);
        const FuncRun run = runFunc(&entry, &config);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.messages, QStringList({"Starting prog"}) + c.reports);
        EXPECT_EQ(run.reboots, c.reports.value(0).endsWith("reboot required") ? 1 : 0);
    }
}

TEST_F(PrePostInstallFuncTest, RebootCodeSucceedsAndAsksForAReboot)
{
    struct Case
    {
        int code;
        bool required;
        bool result;
        QStringList reports;
        int reboots;
    };
    const Case cases[] = {
        {1010, true, true, {"prog completed sucessfully, reboot required"}, 1},
        {1010, false, true, {"prog completed sucessfully, reboot required"}, 1},
        {0, true, true, {"prog completed sucessfully"}, 0},
        {1, true, false, {"Failed to complete prog, exit code: 1"}, 0},
        {-1, true, false, {}, 0},
        {-1, false, true, {}, 0},
        {1009, true, false, {}, 0},
        {242, true, true, {"prog completed sucessfully, reboot required"}, 1},
        {1010 + 256, true, false, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        PrePostInstallEntry entry("prog", {}, c.required);
        PrePostInstallFunc func(&entry, &config);
        QSignalSpy messages(&func, &ASyncFunc::message);
        QSignalSpy reboots(&func, &PrePostInstallFunc::reboot_with_confirmation);
        EXPECT_EQ(func.evaluateExitCode(c.code), c.result);
        QStringList texts;
        for (const QList<QVariant>& args : messages)
            texts << args.at(0).toString();
        EXPECT_EQ(texts, c.reports);
        EXPECT_EQ(reboots.count(), c.reboots);
    }
}

TEST_F(PrePostInstallFuncTest, PassesEachArgumentWithTwoLeadingDashes)
{
    script("prog", vxtest::recordRunScript(path("ran")));
    PrePostInstallEntry entry("prog", {"silent", "dir=/opt/vox mere", ""}, true);
    const FuncRun run = runFunc(&entry, &config);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(lines(path("ran")).mid(1), QStringList({"3", "--silent", "--dir=/opt/vox mere", "--"}));

    PrePostInstallEntry bare("prog", {}, true);
    ASSERT_TRUE(runFunc(&bare, &config).result);
    EXPECT_EQ(lines(path("ran")).mid(1), QStringList({"0"}));
}

TEST_F(PrePostInstallFuncTest, FindsTheProgramInTheWorkDirButKeepsTheUpdatersWorkingDirectory)
{
    ASSERT_TRUE(QDir().mkpath(path("tools")));
    script("tools/prog", vxtest::recordRunScript(path("ran")));
    PrePostInstallEntry entry("tools/prog", {}, true);
    const FuncRun run = runFunc(&entry, &config);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.messages, QStringList({"Starting tools/prog", "tools/prog completed sucessfully"}));
    ASSERT_FALSE(lines(path("ran")).isEmpty());
    EXPECT_EQ(lines(path("ran")).at(0), QFileInfo(QDir::currentPath()).canonicalFilePath());
}

TEST_F(PrePostInstallFuncTest, ProgramThatCannotStartFailsOnlyWhenRequired)
{
    script("not_executable", "exit 0");
    ASSERT_TRUE(QFile::setPermissions(path("not_executable"), QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_TRUE(QDir().mkpath(path("folder")));
    Configuration noWorkDir;

    struct Case
    {
        const char* program;
        Configuration* config;
    };
    const Case cases[] = {
        {"missing", &config},
        {"not_executable", &config},
        {"folder", &config},
        {"", &config},
        {"prog", &noWorkDir},
        {"prog", nullptr},
    };
    for (const Case& c : cases) {
        for (const bool required : {true, false}) {
            SCOPED_TRACE(std::string(c.program) + (c.config ? "" : " without configuration")
                         + (required ? " required" : " optional"));
            PrePostInstallEntry entry(c.program, {"a"}, required);
            const FuncRun run = runFunc(&entry, c.config);
            EXPECT_EQ(run.result, !required);
            ASSERT_EQ(run.messages.size(), 2);
            EXPECT_EQ(run.messages.at(0), QString("Starting %1").arg(c.program));
            const QString prefix = QString("Failed to start %1: ").arg(c.program);
            EXPECT_TRUE(run.messages.at(1).startsWith(prefix)) << run.messages.at(1).toStdString();
            EXPECT_GT(run.messages.at(1).size(), prefix.size()) << "the reason is missing";
        }
    }
}

TEST_F(PrePostInstallFuncTest, NoEntryFails)
{
    const FuncRun run = runFunc(nullptr, &config);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.reboots, 0);
}

TEST_F(PrePostInstallFuncTest, CopiesTheEntryWhenCreated)
{
    script("prog", "exit 0");
    PrePostInstallEntry entry("prog", {}, true);
    PrePostInstallFunc func(&entry, &config);
    entry.program = "missing";
    config.workDir.clear();
    QSignalSpy messages(&func, &ASyncFunc::message);
    EXPECT_TRUE(func.run());
    ASSERT_EQ(messages.count(), 2);
    EXPECT_EQ(messages.at(1).at(0).toString(), "prog completed sucessfully");
}

TEST(PrePostInstallTaskSpecification, RebootRequestReachesTheWindowQueuedInTheGuiThread)
{
    Configuration config;
    PrePostInstallEntry entry("prog", {}, false);
    PrePostInstallTaskSpecification task(&entry, &config, nullptr, 0.1);
    RebootWindow window;
    QSignalSpy asked(&window, &RebootWindow::rebootAsked);

    PrePostInstallTaskSpecification::setRebootReceiver(&window);
    EXPECT_EQ(PrePostInstallTaskSpecification::rebootReceiver(), &window);
    std::unique_ptr<ASyncFunc> func(task.createFunc());
    auto* install = qobject_cast<PrePostInstallFunc*>(func.get());
    ASSERT_NE(install, nullptr);
    std::thread pool([&] { EXPECT_TRUE(install->evaluateExitCode(1010)); });
    pool.join();
    EXPECT_EQ(asked.count(), 0) << "the request must be queued, not delivered on the pool thread";
    ASSERT_TRUE(vxtest::waitForCount(asked, 1));
    EXPECT_EQ(window.slotThread, QThread::currentThread());

    // Without a window the request goes nowhere.
    PrePostInstallTaskSpecification::setRebootReceiver(nullptr);
    std::unique_ptr<ASyncFunc> unheard(task.createFunc());
    qobject_cast<PrePostInstallFunc*>(unheard.get())->evaluateExitCode(1010);
    vxtest::drainEvents();
    EXPECT_EQ(asked.count(), 1);
}

TEST_F(PrePostInstallListTest, RunsProgramsInOrderAndPassesOverOptionalFailures)
{
    const QByteArray note = "echo \"$(basename \"$0\")\" >> '" + path("order").toUtf8() + "'\n";
    script("first", note + "exit 0");
    script("second", note + "exit 1");
    script("third", note + "exit 7");
    script("fourth", note + vxtest::recordRunScript(path("ran")));
    QList<PrePostInstallEntry> list{
        {"first", {}, true},
        {"second", {}, false},
        {"third", {}, false},
        {"missing", {}, false},
        {"fourth", {"x"}, true},
    };
    PrePostInstallListTaskSpecification task(&list, &config, nullptr, 0.1);
    EventLog log(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));

    EXPECT_EQ(lines(path("order")), QStringList({"first", "second", "third", "fourth"}));
    ASSERT_EQ(log.lines.size(), 11);
    EXPECT_TRUE(log.lines.at(7).startsWith("message:Failed to start missing: ")) << log.lines.at(7).toStdString();
    log.lines[7] = "message:Failed to start missing: ...";
    EXPECT_EQ(log.lines,
              QStringList({"message:Starting install condition", "message:Starting first",
                           "message:first completed sucessfully", "message:Starting second",
                           "message:Failed to complete second, exit code: 1", "message:Starting third",
                           "message:Starting missing", "message:Failed to start missing: ...",
                           "message:Starting fourth", "message:fourth completed sucessfully", "finished"}));
    EXPECT_EQ(lines(path("ran")).mid(1), QStringList({"1", "--x"}));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.1);
    ASSERT_EQ(task.getTasks().size(), 5);
    for (TaskSpecification* sub : task.getTasks())
        EXPECT_DOUBLE_EQ(sub->getWeight(), 0.1);
}

TEST_F(PrePostInstallListTest, RequiredFailureStopsTheListAndFailsIt)
{
    const QByteArray note = "echo \"$(basename \"$0\")\" >> '" + path("order").toUtf8() + "'\n";
    script("first", note + "exit 0");
    script("second", note + "exit 2");
    script("third", note + "exit 0");
    QList<PrePostInstallEntry> list{{"first", {}, true}, {"second", {}, true}, {"third", {}, true}};
    PrePostInstallListTaskSpecification task(&list, &config, nullptr, 0.1);
    EventLog log(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(canceled, 1));
    vxtest::drainEvents();

    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(lines(path("order")), QStringList({"first", "second"}));
    EXPECT_EQ(log.lines, QStringList({"message:Starting install condition", "message:Starting first",
                                      "message:first completed sucessfully", "message:Starting second",
                                      "canceled"}));
    EXPECT_EQ(task.getTasks().at(2)->getState(), TaskSpecification::TASK_IDLE);
}

TEST_F(PrePostInstallListTest, MissingRequiredProgramFailsTheList)
{
    QList<PrePostInstallEntry> list{{"missing", {}, true}};
    PrePostInstallListTaskSpecification task(&list, &config, nullptr, 0.1);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(canceled, 1));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
}

TEST_F(PrePostInstallListTest, EmptyListFinishesAtOnceWithoutAMessage)
{
    QList<PrePostInstallEntry> list;
    PrePostInstallListTaskSpecification task(&list, &config, nullptr, 0.1);
    EventLog log(&task);
    task.execute();
    EXPECT_EQ(log.lines, QStringList({"finished"}));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
}

TEST_F(PrePostInstallListTest, MissingListOrConfigurationFails)
{
    QList<PrePostInstallEntry> list{{"prog", {}, false}};
    PrePostInstallListTaskSpecification noList(nullptr, &config, nullptr, 0.1);
    PrePostInstallListTaskSpecification noConfig(&list, nullptr, nullptr, 0.1);
    for (PrePostInstallListTaskSpecification* task : {&noList, &noConfig}) {
        EventLog log(task);
        task->execute();
        EXPECT_EQ(log.lines, QStringList({"canceled"}));
        EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
    }
}

TEST_F(PrePostInstallListTest, ResetDropsTheSubTasksAndTheNextRunStartsThemAgain)
{
    script("prog", "echo run >> '" + path("order").toUtf8() + "'\n");
    QList<PrePostInstallEntry> list{{"prog", {}, true}};
    PrePostInstallListTaskSpecification task(&list, &config, nullptr, 0.1);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));

    task.reset();
    EXPECT_TRUE(task.getTasks().isEmpty());
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);
    list.append({"prog", {}, true});
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 2));
    EXPECT_EQ(task.getTasks().size(), 2);
    EXPECT_EQ(lines(path("order")), QStringList({"run", "run", "run"}));
}

#include "prepostinstall_test.moc"

#include "mainwindow.h"

#include "configuration.h"
#include "eventloop.h"
#include "otheruser.h"
#include "prepostinstalltaskspecification.h"
#include "singleinstancechecker.h"
#include "testpaths.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMouseEvent>
#include <QUrl>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QLayout>
#include <QLocalServer>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <sys/stat.h>

namespace {

struct Box {
    QString title;
    QString text;
    Qt::TextFormat format;
};

// Answers every message box that opens (they are modal and would wait for a user): records
// its title and text, then lets `decide` act on it or, by default, presses `answer`.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok)
        : answer(answer)
    {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(5);
    }

    void setAnswer(QMessageBox::StandardButton button) { answer = button; }
    // Called with each new box instead of pressing the answer; it must close the box itself.
    std::function<void(QMessageBox*)> decide;
    QList<Box> boxes;
    QStringList titles() const
    {
        QStringList list;
        for (const Box& box : boxes)
            list << box.title;
        return list;
    }

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == current)
            return;
        current = box;
        boxes.append({box->windowTitle(), box->text(), box->textFormat()});
        if (decide) {
            decide(box);
            return;
        }
        QAbstractButton* button = box->button(answer);
        if (!button)
            button = box->buttons().value(0);
        button->click();
    }

    QTimer timer;
    QPointer<QMessageBox> current;
    QMessageBox::StandardButton answer;
};

// Accepts connections and never answers, so that a download stays in flight.
class StallServer : public QObject
{
public:
    StallServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                socket->setParent(this);
        });
        server.listen(QHostAddress::LocalHost);
    }
    QString baseUrl() const { return QString("http://127.0.0.1:%1/").arg(server.serverPort()); }

private:
    QTcpServer server;
};

// Stands in for the desktop's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl& url) { urls << url; }

public:
    QList<QUrl> urls;
};

// Runs the application's own event loop (the one the window ends) after `start`; returns its
// exit code, or -99 when it did not end in time.
int runApplication(const std::function<void()>& start, int timeoutMs = 30000)
{
    QTimer::singleShot(0, start);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-99); });
    guard.start(timeoutMs);
    return QCoreApplication::exec();
}

// Collects the program's diagnostic lines.
QStringList* capturedLines = nullptr;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& text)
{
    if (capturedLines)
        capturedLines->append(text);
}

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        savedTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        QFile::remove(UpdateIniData::updateIniPath());
        QLocalServer::removeServer(SingleInstanceChecker::socketPath());
        config.isReady = true;
        config.clientType = Configuration::defaultClientType(false);
        config.versionNumber = 42;
        Configuration::updateBaseUrl = stall.baseUrl();
        capturedLines = &lines;
        previousHandler = qInstallMessageHandler(captureMessage);
        window = std::make_unique<MainWindow>(&config);
        engine = window->findChild<UpdateEngine*>();
        ASSERT_NE(engine, nullptr);
    }

    void TearDown() override
    {
        window.reset();
        // The engine's finished tasks go with deferred deletion.
        vxtest::drainEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        qInstallMessageHandler(previousHandler);
        capturedLines = nullptr;
        QFile::remove(UpdateIniData::updateIniPath());
        qputenv("TMPDIR", savedTmp);
    }

    template <typename T>
    T* child(const char* name) const
    {
        T* widget = window->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString details() const { return child<QPlainTextEdit>("outputTextEdit")->toPlainText(); }
    int progress() const { return child<QProgressBar>("totalProgressBar")->value(); }
    bool logged(const QString& text) const { return lines.contains(text); }

    void startEngine()
    {
        ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "onStartUpdate"));
        ASSERT_TRUE(engine->isBusy());
    }

    QTemporaryDir tmp;
    QByteArray savedTmp;
    StallServer stall;
    Configuration config;
    QStringList lines;
    QtMessageHandler previousHandler = nullptr;
    std::unique_ptr<MainWindow> window;
    UpdateEngine* engine = nullptr;
};

// A shell script at `path` that records its arguments, one a line, in `record`.
void writeRecordingScript(const QString& path, const QString& record)
{
    ASSERT_TRUE(vxtest::writeFile(path, QString("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '%1.part'\n"
                                                "mv '%1.part' '%1'\n").arg(record).toUtf8()));
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

QStringList recordedArguments(const QString& record)
{
    if (!vxtest::runUntil([&] { return QFile::exists(record); }, 20000))
        return {"<never started>"};
    QString text = QString::fromUtf8(vxtest::readFile(record));
    text.chop(1);
    return text.split('\n');
}

} // namespace

TEST_F(WindowTest, FormMatchesTheLayout)
{
    EXPECT_EQ(window->objectName(), "MainWindow");
    EXPECT_EQ(window->windowTitle(), "Voxmere 3 Client Update");
    EXPECT_EQ(child<QPushButton>("detailsButton")->text(), "Details");
    EXPECT_TRUE(child<QPushButton>("detailsButton")->isCheckable());
    auto* bar = child<QProgressBar>("totalProgressBar");
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 1000);
    EXPECT_EQ(bar->value(), 0);
    auto* text = child<QPlainTextEdit>("outputTextEdit");
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(text->maximumHeight(), 100);
    EXPECT_EQ(text->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(child<QLabel>("banner")->minimumSize(), QSize(468, 60));
    for (const char* name : {"banner", "voxmereLabel"}) {
        SCOPED_TRACE(name);
        auto* label = child<QLabel>(name);
        EXPECT_FALSE(label->pixmap(Qt::ReturnByValue).isNull());
        EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor);
    }
    EXPECT_EQ(QImageReader(":/voxmere_logo").format(), "png");
    EXPECT_EQ(QImageReader(":/voxmere_banner").format(), "jpeg");

    window->show();
    EXPECT_EQ(window->layout()->sizeConstraint(), QLayout::SetFixedSize);
    EXPECT_TRUE(child<QLabel>("voxmereLabel")->isVisible());
    EXPECT_EQ(child<QLabel>("voxmereLabel")->maximumHeight(), child<QLabel>("voxmereLabel")->maximumWidth());
    EXPECT_LT(child<QLabel>("voxmereLabel")->maximumHeight(), QWIDGETSIZE_MAX);
    EXPECT_FALSE(text->isVisible());
}

TEST_F(WindowTest, LogoAndBannerOpenTheWebSite)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    window->show();
    for (const char* name : {"banner", "voxmereLabel"}) {
        SCOPED_TRACE(name);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), Qt::RightButton, Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(child<QLabel>(name), &press);
    }
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(catcher.urls, (QList<QUrl>{QUrl("https://www.voxmere.example/"), QUrl("https://www.voxmere.example/")}));
}

TEST_F(WindowTest, VersionLabelNamesVersionChannelAndStep)
{
    struct Case {
        QString version;
        int channel;
        int phase;
        QString expected;
    };
    const QString fifo = tmp.path() + "/fifo";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const Case cases[] = {
        {"3.5.1", 0, 0,
         "<div style=\"font-weight:bold;font-size:large\">Update to Voxmere 3.5.1</div>"
         "<div style=\"margin-top:0.2em\">You are currently on <strong>Stable channel</strong>.</div>"
         "<div style=\"margin-top:0.2em;font-style:italic\">Step one: Updating updater</div>"},
        {"", 1, 1,
         "<div style=\"margin-top:0.2em\">You are currently on <strong>Beta channel</strong>.</div>"
         "<div style=\"margin-top:0.2em;font-style:italic\">Step two: Updating Voxmere client</div>"},
        {"4.0-rc", 2, 1,
         "<div style=\"font-weight:bold;font-size:large\">Update to Voxmere 4.0-rc</div>"
         "<div style=\"margin-top:0.2em\">You are currently on <strong>Alpha channel</strong>.</div>"
         "<div style=\"margin-top:0.2em;font-style:italic\">Step two: Updating Voxmere client</div>"},
        {"", 7, 0,
         "<div style=\"margin-top:0.2em\">You are currently on <strong> channel</strong>.</div>"
         "<div style=\"margin-top:0.2em;font-style:italic\">Step one: Updating updater</div>"},
        // A reply's markup is shown as text: the image, a fifo, is never opened.
        {"<img src=\"" + fifo + "\">&", 0, 0,
         "<div style=\"font-weight:bold;font-size:large\">Update to Voxmere &lt;img src=&quot;" + fifo
             + "&quot;&gt;&amp;</div>"
         "<div style=\"margin-top:0.2em\">You are currently on <strong>Stable channel</strong>.</div>"
         "<div style=\"margin-top:0.2em;font-style:italic\">Step one: Updating updater</div>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.toStdString());
        config.versionString = c.version;
        config.channel = c.channel;
        config.isClientUpdate = c.phase;
        window->updateVersionLabel();
        ASSERT_EQ(child<QLabel>("versionLabel")->text(), c.expected);
    }
    window->show();
    vxtest::drainEvents();
}

TEST_F(WindowTest, ProgressShowsTruncatedThousandths)
{
    struct Case {
        double fraction;
        int shown;
    };
    const Case cases[] = {{0.9999, 999}, {0.5, 500}, {0.0, 0}, {1.0, 1000}, {0.0019, 1},
                          {-0.5, 0},     {7.0, 1000}, {std::numeric_limits<double>::quiet_NaN(), 0},
                          {std::numeric_limits<double>::infinity(), 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fraction);
        emit engine->updateProgress(0.0);
        emit engine->updateProgress(c.fraction);
        EXPECT_EQ(progress(), c.shown);
    }
}

TEST_F(WindowTest, MessagesGoToTheDetailsAndErrorsToABoxAsWell)
{
    window->show();
    BoxAnswerer answerer;
    emit engine->message("Starting install condition");
    const int code = runApplication([&] {
        emit engine->error("Could not copy 'a' to 'b'");
        emit engine->error(QString());
        QCoreApplication::exit(0);
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(details(), "Starting install condition\nCould not copy 'a' to 'b'\n");
    ASSERT_EQ(answerer.boxes.size(), 2);
    EXPECT_EQ(answerer.boxes[0].title, "Error");
    EXPECT_EQ(answerer.boxes[0].text, "Could not copy 'a' to 'b'");
    EXPECT_EQ(answerer.boxes[0].format, Qt::PlainText);
    EXPECT_TRUE(logged("Starting install condition") && logged("Could not copy 'a' to 'b'"));
    EXPECT_TRUE(window->isVisible());
}

TEST_F(WindowTest, DetailsButtonShowsTheNewestLines)
{
    window->show();
    for (int i = 0; i < 60; ++i)
        emit engine->message(QString("line %1").arg(i));
    auto* text = child<QPlainTextEdit>("outputTextEdit");
    auto* button = child<QPushButton>("detailsButton");
    button->click();
    EXPECT_TRUE(text->isVisible());
    text->verticalScrollBar()->setValue(0);
    vxtest::drainEvents();
    EXPECT_GT(text->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(text->verticalScrollBar()->value(), text->verticalScrollBar()->maximum());
    button->click();
    vxtest::drainEvents();
    EXPECT_FALSE(text->isVisible());
}

TEST_F(WindowTest, OnlyTheHashMessageRaisesTheWindow)
{
    window->show();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(vxtest::runUntil([&] { return QApplication::activeWindow() == &other; }));

    ASSERT_TRUE(SingleInstanceChecker::sendMessage("raise"));
    vxtest::runFor(100);
    EXPECT_EQ(QApplication::activeWindow(), &other);

    ASSERT_TRUE(SingleInstanceChecker::sendMessage("#"));
    EXPECT_TRUE(vxtest::runUntil([&] { return QApplication::activeWindow() == window.get(); }));
}

TEST_F(WindowTest, StartWaitsForTheConfigurationAndHappensOnce)
{
    config.isReady = false;
    ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "onStartUpdate"));
    EXPECT_TRUE(logged("Aborting start update, configuration not yet ready"));
    EXPECT_FALSE(engine->isBusy());
    EXPECT_FALSE(QFile::exists(UpdateIniData::updateIniPath()));

    config.isReady = true;
    emit config.ready();
    EXPECT_TRUE(logged("Update engine initialized"));
    EXPECT_TRUE(engine->isBusy());
    int version = 0;
    ASSERT_TRUE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    EXPECT_EQ(version, 42);

    // The 2000 ms timer's later call finds the update started and does nothing.
    lines.clear();
    ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "onStartUpdate"));
    EXPECT_EQ(lines, QStringList{"onStartUpdate false true"});
}

TEST_F(WindowTest, ClosingBeforeTheStartEndsWithZero)
{
    window->show();
    BoxAnswerer answerer;
    EXPECT_EQ(runApplication([&] { window->close(); }), 0);
    EXPECT_TRUE(answerer.boxes.isEmpty());
}

TEST_F(WindowTest, ClosingARunningUpdateAsksAndAbortsOnlyOnYes)
{
    window->show();
    startEngine();
    BoxAnswerer answerer(QMessageBox::No);
    const int code = runApplication([&] {
        window->close();
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(engine->isBusy());
        answerer.setAnswer(QMessageBox::Yes);
        window->close();
    });
    EXPECT_EQ(code, 0);
    QStringList questions;
    for (const Box& box : answerer.boxes) {
        if (box.title == "Question") {
            questions << box.text;
        } else {
            // Only the aborted download may speak up; the cancellation box is not shown.
            EXPECT_EQ(box.title, "Error") << box.text.toStdString();
        }
    }
    const QString question = "<p>Update in progress.</p><p>Are you sure you want to abort?</p>";
    EXPECT_EQ(questions, (QStringList{question, question}));
    EXPECT_TRUE(details().contains("User aborted update"));
    EXPECT_FALSE(details().contains("Update cancelled"));
    // The session stays for the next run.
    EXPECT_TRUE(QFile::exists(UpdateIniData::updateIniPath()));
}

TEST_F(WindowTest, ClosingWhileTheAbortIsUnderWayIsRefusedSilently)
{
    window->show();
    // Initialised but not yet running: busy, and a cancel request has nothing to stop yet.
    ASSERT_TRUE(engine->initialize());
    BoxAnswerer answerer(QMessageBox::Yes);
    const int code = runApplication([&] {
        window->close();
        window->close();
        window->close();
        EXPECT_TRUE(window->isVisible());
        QCoreApplication::exit(5);
    });
    EXPECT_EQ(code, 5);
    EXPECT_EQ(answerer.titles(), QStringList{"Question"});
}

TEST_F(WindowTest, CancellationKeepsTheWindowAndShowsOneBoxForTwo)
{
    window->show();
    startEngine();
    BoxAnswerer answerer;
    int cancelBoxes = 0;
    answerer.decide = [&](QMessageBox* box) {
        if (box->windowTitle() == "Update" && ++cancelBoxes == 1) {
            EXPECT_EQ(box->text(), "Update cancelled. Push \"Details\" to check reasons.");
            EXPECT_FALSE(engine->isBusy());
            // A second run cancelled while this box is still open.
            ASSERT_TRUE(engine->initialize());
            engine->startUpdate();
            emit engine->updateProgress(0.25);
            engine->cancelUpdate();
            EXPECT_TRUE(vxtest::runUntil([&] { return details().count("Update cancelled") == 2; }));
        }
        box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
    };
    const int code = runApplication([&] {
        emit engine->updateProgress(0.5);
        engine->cancelUpdate();
        EXPECT_TRUE(vxtest::runUntil([&] { return details().count("Update cancelled") == 2; }));
        QCoreApplication::exit(7);
    });
    EXPECT_EQ(code, 7);
    EXPECT_EQ(cancelBoxes, 1);
    EXPECT_EQ(progress(), 0);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(engine->isBusy());

    // Cancelled, not by closing: the window closes normally, and the update is not restarted.
    lines.clear();
    ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "onStartUpdate"));
    EXPECT_FALSE(engine->isBusy());
    EXPECT_EQ(runApplication([&] { window->close(); }), 0);
}

TEST_F(WindowTest, FatalErrorsEndTheLoopWithTheirCodes)
{
    window->show();
    BoxAnswerer answerer;
    EXPECT_EQ(runApplication([&] { emit engine->fatalError("Crypto library failed"); }), 2);
    EXPECT_EQ(runApplication([&] { emit config.fatalError("No client type specified"); }), 1);
    EXPECT_EQ(runApplication([&] { emit engine->fatalError(QString()); }), 2);
    ASSERT_EQ(answerer.boxes.size(), 3);
    EXPECT_EQ(answerer.boxes[0].title, "Error");
    EXPECT_EQ(answerer.boxes[0].text, "Crypto library failed");
    EXPECT_EQ(answerer.boxes[1].title, "Error");
    EXPECT_EQ(answerer.boxes[1].text, "No client type specified");
}

// While a fatal error's box is open the start timer fires: nothing starts, and the program ends
// with the error's code when the box is closed.
TEST_F(WindowTest, FatalErrorStopsTheDelayedStart)
{
    struct Case {
        const char* label;
        std::function<void()> raise;
        int code;
    };
    const Case cases[] = {
        {"engine", [this] { emit engine->fatalError("'http://[::1' is an invalid proxy specification"); }, 2},
        {"configuration", [this] { emit config.fatalError("Update server returned no version"); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        window.reset();
        window = std::make_unique<MainWindow>(&config);
        engine = window->findChild<UpdateEngine*>();
        window->show();
        BoxAnswerer answerer;
        answerer.decide = [&](QMessageBox* box) {
            QMetaObject::invokeMethod(window.get(), "onStartUpdate");
            emit config.ready();
            EXPECT_FALSE(engine->isBusy());
            box->button(QMessageBox::Ok)->click();
        };
        EXPECT_EQ(window->exitStatus(runApplication(c.raise)), c.code);
        EXPECT_EQ(answerer.titles(), QStringList{"Error"});
        EXPECT_FALSE(engine->isBusy());
        EXPECT_FALSE(logged("Update engine initialized"));
        EXPECT_FALSE(QFile::exists(UpdateIniData::updateIniPath()));
    }
}

// 0 only for a finished update (or a reboot request); a loop's own non-zero code stays.
TEST_F(WindowTest, ExitStatusTellsWhetherTheUpdateFinished)
{
    window->show();
    EXPECT_EQ(window->exitStatus(0), MainWindow::kNotFinishedExit) << "never started";
    EXPECT_EQ(window->exitStatus(2), 2);
    startEngine();
    BoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_EQ(window->exitStatus(runApplication([&] { window->close(); })),
              MainWindow::kNotFinishedExit) << "cancelled";
    QTemporaryDir work;
    config.workDir = work.path();
    writeRecordingScript(work.path() + "/update", work.path() + "/args.txt");
    EXPECT_EQ(window->exitStatus(runApplication([&] { emit engine->updateFinished(); })), 0);
    EXPECT_NE(MainWindow::kNotFinishedExit, 0);
    EXPECT_NE(MainWindow::kNotFinishedExit, 1);
}

TEST_F(WindowTest, RebootQuestionLeavesANoticeAndQuits)
{
    EXPECT_EQ(PrePostInstallTaskSpecification::rebootReceiver(), window.get());
    struct Case {
        QMessageBox::StandardButton answer;
        const char* notice;
        const char* absent;
    };
    const Case cases[] = {{QMessageBox::Yes, "vx3_force_update", "vx3_force_update_check"},
                          {QMessageBox::No, "vx3_force_update_check", "vx3_force_update"}};
    window->show();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notice);
        QFile::remove(tmp.path() + "/vx3_force_update");
        QFile::remove(tmp.path() + "/vx3_force_update_check");
        BoxAnswerer answerer;
        answerer.decide = [&](QMessageBox* box) {
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Yes));
            box->button(c.answer)->click();
        };
        EXPECT_EQ(runApplication([&] { window->onRebootWithConfirmation(); }), 0);
        ASSERT_EQ(answerer.titles(), QStringList{"Confirm reboot"});
        EXPECT_EQ(answerer.boxes[0].text,
                  "<p>A computer restart is required to proceed with the client update. If you do not "
                  "reboot now, the Voxmere update will be cancelled.</p><p>Do you want to reboot now?</p>");
        EXPECT_TRUE(QFileInfo(tmp.path() + "/" + c.notice).isFile());
        EXPECT_EQ(QFileInfo(tmp.path() + "/" + c.notice).size(), 0);
        EXPECT_FALSE(QFile::exists(tmp.path() + "/" + c.absent));
    }
}

TEST_F(WindowTest, RebootRequestArrivesQueuedAndStopsTheHandOver)
{
    window->show();
    QTemporaryDir work;
    config.workDir = work.path();
    writeRecordingScript(work.path() + "/update", work.path() + "/args.txt");
    BoxAnswerer answerer(QMessageBox::No);
    const int code = runApplication([&] {
        QMetaObject::invokeMethod(PrePostInstallTaskSpecification::rebootReceiver(), "onRebootWithConfirmation",
                                  Qt::QueuedConnection);
    });
    EXPECT_EQ(code, 0);
    emit engine->updateFinished();
    vxtest::runFor(1300);
    EXPECT_FALSE(QFile::exists(work.path() + "/args.txt"));
    EXPECT_TRUE(window->isVisible());
}

TEST_F(WindowTest, UnwritableNoticeIsReportedInTheDetails)
{
    window->show();
    // A plain file as the temporary folder: nothing can be made below it.
    ASSERT_TRUE(vxtest::writeFile(tmp.path() + "/plain", "x"));
    qputenv("TMPDIR", (tmp.path() + "/plain").toLocal8Bit());
    BoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_EQ(runApplication([&] { window->onRebootWithConfirmation(); }), 0);
    EXPECT_TRUE(details().contains("Failed to store force update notice"));
    EXPECT_TRUE(logged("Failed to store force update notice"));
}

// In a shared temp folder without the sticky bit (where the kernel's link protection never
// applies), another user's links at the notices' names are replaced, never written through.
TEST_F(WindowTest, NoticesReplaceLinksAnotherUserPlanted)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    const QString shared = tmp.path() + "/shared";
    const QString victim = tmp.path() + "/rootonly/secret";
    ASSERT_TRUE(vxtest::shareLikeSystemTemp(tmp.path(), shared));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    ASSERT_TRUE(QDir().mkpath(tmp.path() + "/rootonly"));
    ASSERT_TRUE(vxtest::writeFile(victim, "root's own"));
    ASSERT_EQ(::chmod(QFile::encodeName(victim).constData(), 0600), 0);
    ASSERT_TRUE(vxtest::runAsOtherUser(
        shared, QString("ln -s '%1' vx3_force_update; ln -s '%1' vx3_force_update_check").arg(victim)));
    qputenv("TMPDIR", shared.toLocal8Bit());
    for (const char* name : {"vx3_force_update", "vx3_force_update_check"}) {
        SCOPED_TRACE(name);
        window->write_force_update_file(name);
        const QFileInfo notice(shared + "/" + name);
        EXPECT_TRUE(notice.isFile() && !notice.isSymLink());
        EXPECT_EQ(notice.ownerId(), ::geteuid());
    }
    EXPECT_EQ(vxtest::readFile(victim), "root's own");
    EXPECT_EQ(QFileInfo(victim).permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    EXPECT_FALSE(details().contains("Failed to store force update notice"));
}

TEST_F(WindowTest, StaleNoticesGoOnlyInTheUpdaterPhase)
{
    for (int phase : {1, 0}) {
        SCOPED_TRACE(phase);
        window->write_force_update_file("vx3_force_update");
        window->write_force_update_file("vx3_force_update_check");
        config.isClientUpdate = phase;
        window->delete_force_update_files();
        EXPECT_EQ(QFile::exists(tmp.path() + "/vx3_force_update"), phase == 1);
        EXPECT_EQ(QFile::exists(tmp.path() + "/vx3_force_update_check"), phase == 1);
    }
}

TEST_F(WindowTest, UpdaterPhaseHandsOverToTheNewUpdater)
{
    struct Case {
        const char* versionString;
        const char* fourth;
    };
    const Case cases[] = {{"", "#"}, {"3.5.1 beta", "3.5.1 beta"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fourth);
        window.reset();
        window = std::make_unique<MainWindow>(&config);
        engine = window->findChild<UpdateEngine*>();
        window->show();
        QTemporaryDir work;
        config.workDir = work.path();
        config.isClientUpdate = 0;
        config.versionString = c.versionString;
        writeRecordingScript(work.path() + "/update", work.path() + "/args.txt");
        EXPECT_EQ(runApplication([&] { emit engine->updateFinished(); }), 0);
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(recordedArguments(work.path() + "/args.txt"),
                  (QStringList{"--clientupdate", "client_linux_x86", "42", c.fourth}));
    }
}

TEST_F(WindowTest, ClientPhaseStartsTheClientsRunScript)
{
    window->show();
    QTemporaryDir install;
    config.isClientUpdate = 1;
    config.installDir = install.path();
    writeRecordingScript(install.path() + "/vx3client_runscript.sh", install.path() + "/ran.txt");
    EXPECT_EQ(runApplication([&] { emit engine->updateFinished(); }), 0);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(recordedArguments(install.path() + "/ran.txt"), QStringList{""});

    // Without its run script the client cannot start: the window says why, with a status of its own.
    const QString script = install.path() + "/vx3client_runscript.sh";
    ASSERT_TRUE(QFile::remove(script));
    window->show();
    BoxAnswerer answerer;
    EXPECT_EQ(window->exitStatus(runApplication([&] { emit engine->updateFinished(); })), 4);
    EXPECT_EQ(answerer.titles(), QStringList{"Error"});
    EXPECT_EQ(answerer.boxes.value(0).text, "Failed to start " + script);
    EXPECT_TRUE(logged("Failed to start " + script));
}

// One failure, one box: the second trigger (timer or ready) does not start a failed start again,
// and a run that ends after an error box shows no cancellation box besides.
TEST_F(WindowTest, OneFailureShowsOneBox)
{
    window->show();
    ASSERT_TRUE(QDir().mkpath(UpdateIniData::updateIniPath()));
    BoxAnswerer answerer;
    ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "onStartUpdate"));
    ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "onStartUpdate"));
    ASSERT_TRUE(QDir().rmdir(UpdateIniData::updateIniPath()));
    EXPECT_EQ(answerer.boxes.size(), 1);
    window.reset();
    window = std::make_unique<MainWindow>(&config);
    engine = window->findChild<UpdateEngine*>();
    startEngine();
    runApplication([&] {
        emit engine->error("Could not delete 'gone.txt'");
        engine->cancelUpdate();
        EXPECT_TRUE(vxtest::runUntil([&] { return details().contains("Update cancelled"); }));
        QCoreApplication::exit(0);
    });
    EXPECT_FALSE(answerer.titles().contains("Update"));
}

// A new updater that cannot be started (a version text too long for an argument list), or is
// missing, ends the run with its error and the status of an unfinished update.
TEST_F(WindowTest, HandOverThatCannotStartEndsWithItsError)
{
    window->show();
    config.versionString = QString(300000, 'v');
    for (const bool present : {true, false}) {
        QTemporaryDir work;
        config.workDir = work.path();
        if (present)
            writeRecordingScript(work.path() + "/update", work.path() + "/args.txt");
        BoxAnswerer answerer;
        EXPECT_EQ(runApplication([&] { emit engine->updateFinished(); }), MainWindow::kNotFinishedExit);
        EXPECT_EQ(answerer.titles(), QStringList{"Error"});
        EXPECT_TRUE(details().endsWith((present ? "Failed to start " : "Failed to find ") + work.path() + "/update"));
    }
}

#include "mainwindow_test.moc"

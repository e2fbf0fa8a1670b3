#include "mainwindow.h"

#include "configuration.h"
#include "installationlock.h"
#include "prepostinstalltaskspecification.h"
#include "processtools.h"
#include "safepath.h"
#include "singleinstancechecker.h"
#include "ui_mainwindow.h"
#include "updateengine.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

#include <cmath>
#include <unistd.h>

const char MainWindow::kForceUpdateFile[] = "vx3_force_update";
const char MainWindow::kForceUpdateCheckFile[] = "vx3_force_update_check";

// The images are compiled into this library; the registration has to be pulled in by hand.
static void initResources()
{
    Q_INIT_RESOURCE(update);
}

namespace {
const char kWebSite[] = "https://www.voxmere.example/";
const int kHandOverDelayMs = 1000;
const int kConfigurationFatalExit = 1;
const int kEngineFatalExit = 2;

// The cancellation box is asked at most once at a time, whatever reports a cancellation.
bool cancelBoxOpen = false;

QString tempFilePath(const QString& name)
{
    return QDir::tempPath() + "/" + name;
}
} // namespace

MainWindow::MainWindow(Configuration* configuration)
    : QWidget(nullptr)
    , ui(new Ui_MainWindow)
    , configuration(configuration)
    , engine(new UpdateEngine(configuration, this))
{
    initResources();
    PrePostInstallTaskSpecification::setRebootReceiver(this);
    connectEngine();
    ui->setupUi(this);
    // Queued, so that the toggle has shown the details before they are scrolled.
    connect(ui->detailsButton, &QPushButton::clicked, this, &MainWindow::scrollDetailsToEnd,
            Qt::QueuedConnection);
    ui->banner->setUrl(QLatin1String(kWebSite));
    ui->voxmereLabel->setUrl(QLatin1String(kWebSite));
    ui->voxmereLabel->hide();
    ui->outputTextEdit->hide();
    auto* checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this, &MainWindow::onOtherInstance);
    connectConfiguration();
    moveToScreenCentre();
}

MainWindow::~MainWindow()
{
    if (PrePostInstallTaskSpecification::rebootReceiver() == this)
        PrePostInstallTaskSpecification::setRebootReceiver(nullptr);
    delete ui;
}

void MainWindow::connectEngine()
{
    connect(engine, &UpdateEngine::error, this, &MainWindow::onEngineError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onEngineProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
}

void MainWindow::connectConfiguration()
{
    connect(configuration, &Configuration::fatalError, this, [this](const QString& text) {
        showFatalError(text, kConfigurationFatalExit);
    });
    connect(configuration, &Configuration::ready, this, &MainWindow::onStartUpdate);
}

void MainWindow::moveToScreenCentre()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    move(available.width() / 2 - width() / 2, available.height() / 2 - height() / 2);
}

void MainWindow::showEvent(QShowEvent* event)
{
    // A square logo as tall as the version text.
    const int side = ui->versionLabel->height();
    ui->voxmereLabel->setMaximumWidth(side);
    ui->voxmereLabel->setMaximumHeight(side);
    ui->voxmereLabel->show();
    QWidget::showEvent(event);
}

void MainWindow::updateVersionLabel()
{
    QString channel;
    switch (configuration->channel) {
    case 0:
        channel = tr("Stable");
        break;
    case 1:
        channel = tr("Beta");
        break;
    case 2:
        channel = tr("Alpha");
        break;
    default:
        break;
    }
    QString text;
    if (!configuration->versionString.isEmpty())
        text += "<div style=\"font-weight:bold;font-size:large\">"
                + tr("Update to Voxmere %1").arg(configuration->versionString.toHtmlEscaped())
                + "</div>";
    text += "<div style=\"margin-top:0.2em\">"
            + tr("You are currently on <strong>%1 channel</strong>.").arg(channel) + "</div>";
    text += "<div style=\"margin-top:0.2em;font-style:italic\">"
            + (configuration->isClientUpdate ? tr("Step two: Updating Voxmere client")
                                             : tr("Step one: Updating updater"))
            + "</div>";
    ui->versionLabel->setText(text);
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << finished << started;
    if (finished || started || fatalErrorShown)
        return;
    if (engine->isBusy()) {
        qDebug() << "Session already active";
    } else if (!configuration->isReady) {
        qDebug() << "Aborting start update, configuration not yet ready";
    } else {
        // Set first: a failure's box runs an event loop of its own, in which the other trigger
        // (timer or ready) would try again and show the same failure a second time.
        started = true;
        if (engine->initialize()) {
            qDebug() << "Update engine initialized";
            engine->startUpdate();
        }
    }
}

void MainWindow::onAppendText(QString text)
{
    ui->outputTextEdit->appendPlainText(text);
    // The log is all an administrator has of an unattended run.
    qDebug().noquote() << text;
}

void MainWindow::onEngineError(const QString& errorMessage)
{
    onAppendText(errorMessage);
    errorBoxShown = true;
    showError(errorMessage);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showFatalError(errorMessage, kEngineFatalExit);
}

void MainWindow::showFatalError(const QString& text, int exitCode)
{
    // Set before the box, whose own event loop would otherwise let the start timer run the
    // update underneath it.
    fatalErrorShown = true;
    onAppendText(text);
    showError(text);
    QCoreApplication::exit(exitCode);
}

int MainWindow::exitStatus(int loopResult) const
{
    if (loopResult != 0 || finished || rebootRequested)
        return loopResult;
    return kNotFinishedExit;
}

void MainWindow::showError(const QString& text)
{
    showPlainError(this, text);
}

void MainWindow::showPlainError(QWidget* parent, const QString& text)
{
    // Error texts carry paths, names and replies from outside.
    QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::onEngineProgress(double doneFrac)
{
    // A fraction outside 0..1 must not become an out-of-range (or undefined) integer.
    if (!std::isfinite(doneFrac))
        return;
    const double clamped = std::min(1.0, std::max(0.0, doneFrac));
    ui->totalProgressBar->setValue(int(clamped * 1000.0));
}

void MainWindow::scrollDetailsToEnd()
{
    if (!ui->outputTextEdit->isVisible())
        return;
    QScrollBar* bar = ui->outputTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void MainWindow::onOtherInstance(const QString& message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onUpdateCanceled()
{
    if (cancelRequested) {
        QCoreApplication::exit(0);
        return;
    }
    finished = false;
    engine->resetAfterCancel();
    onAppendText(tr("Update cancelled"));
    ui->totalProgressBar->setValue(0);
    // A failure that has shown its error box ends the run without a second one.
    const bool failureShown = errorBoxShown;
    errorBoxShown = false;
    if (cancelBoxOpen || failureShown)
        return;
    cancelBoxOpen = true;
    QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
    cancelBoxOpen = false;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->isBusy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (cancelRequested)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    cancelRequested = true;
    engine->cancelUpdate();
}

void MainWindow::onRebootWithConfirmation()
{
    qDebug() << "onRebootWithConfirmation";
    rebootRequested = true;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Confirm reboot"),
        tr("<p>A computer restart is required to proceed with the client update. If you do not reboot "
           "now, the Voxmere update will be cancelled.</p><p>Do you want to reboot now?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        write_force_update_file(QLatin1String(kForceUpdateFile));
        QApplication::beep();
    } else {
        write_force_update_file(QLatin1String(kForceUpdateCheckFile));
    }
    QCoreApplication::exit(0);
}

void MainWindow::write_force_update_file(const QString& name)
{
    // A new empty file in place of whatever had the name: other users may plant names there.
    const QString path = tempFilePath(name);
    const int fd = SafePath::createFile(path, 0644, true);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    qDebug() << "write_force_update_file: could not create" << path << SafePath::takeRefusal();
    onAppendText(QStringLiteral("Failed to store force update notice"));
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << configuration->isClientUpdate;
    if (configuration->isClientUpdate)
        return;
    QFile::remove(tempFilePath(QLatin1String(kForceUpdateFile)));
    QFile::remove(tempFilePath(QLatin1String(kForceUpdateCheckFile)));
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    finished = true;
    if (rebootRequested)
        return;
    if (configuration->isClientUpdate)
        QTimer::singleShot(kHandOverDelayMs, this, &MainWindow::startClient);
    else
        QTimer::singleShot(kHandOverDelayMs, this, &MainWindow::onStartNewUpdater);
}

void MainWindow::startClient()
{
    QString error;
    if (configuration->isClientUpdate == 1
        && !ProcessTools::startVx3Client(configuration->installDir, &error)) {
        // The update itself is done (the engine has cleaned up); only the client did not start.
        showFatalError(error, kClientNotStartedExit);
        return;
    }
    close();
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    QStringList args;
    args << QStringLiteral("--clientupdate") << Configuration::defaultClientType(true)
         << QString::number(configuration->versionNumber)
         << (configuration->versionString.isEmpty() ? QStringLiteral("#") : configuration->versionString);
    // The new updater takes the installation's lock over, and with it the socket's name.
    if (auto* checker = findChild<SingleInstanceChecker*>())
        checker->stopListening();
    InstallationLock::release();
    QString error;
    if (!ProcessTools::startClientUpdater(configuration->workDir, args, &error)) {
        // Phase 2 will not run: the update has not finished.
        showFatalError(error, kNotFinishedExit);
        return;
    }
    close();
}

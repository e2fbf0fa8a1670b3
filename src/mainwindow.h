#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QString>
#include <QWidget>

class Configuration;
class QCloseEvent;
class QShowEvent;
class Ui_MainWindow;
class UpdateEngine;

// The updater's only window: version label, progress bar, a details log behind a toggle, logo,
// banner and copyright line. Owns the update engine and the single-instance guard (both as
// children), starts the engine once the configuration is ready, shows errors, asks before an
// abort and about a reboot, writes the force-update notice files and hands over to the next
// program at the end. Borrows the configuration, which outlives it. GUI thread.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(Configuration* configuration);
    ~MainWindow() override;

    // Rich text of the version label: target version, channel and phase.
    void updateVersionLabel();
    // Creates (or truncates) the empty notice file `name` in the temporary folder.
    void write_force_update_file(const QString& name);
    // In phase 1 removes both notice files from the temporary folder; phase 2 keeps them.
    void delete_force_update_files();

    // The program's exit status for the event loop's result: a non-zero result stays; 0 becomes
    // kNotFinishedExit unless the update finished (or an install program asked for a reboot).
    int exitStatus(int loopResult) const;
    static constexpr int kNotFinishedExit = 3;
    // The update finished, but the client's run script could not be started.
    static constexpr int kClientNotStartedExit = 4;

    // A modal critical box titled "Error" that shows `text` as plain text, never as markup.
    static void showPlainError(QWidget* parent, const QString& text);

    static const char kForceUpdateFile[];
    static const char kForceUpdateCheckFile[];

public slots:
    void onRebootWithConfirmation();

private slots:
    void onFatalError(QString errorMessage);
    void onStartUpdate();
    void onStartNewUpdater();
    void onAppendText(QString text);
    void onUpdateFinished();
    void onUpdateCanceled();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void connectEngine();
    void connectConfiguration();
    void onEngineError(const QString& errorMessage);
    void onEngineProgress(double doneFrac);
    void onOtherInstance(const QString& message);
    void scrollDetailsToEnd();
    void startClient();
    void showError(const QString& text);
    void showFatalError(const QString& text, int exitCode);
    void moveToScreenCentre();

    Ui_MainWindow* ui;
    Configuration* configuration;
    UpdateEngine* engine;
    bool finished = false;
    bool cancelRequested = false;
    bool started = false;
    bool rebootRequested = false;
    // A fatal error's box has been shown: nothing of the update may start any more.
    bool fatalErrorShown = false;
    // An error box of the current run has been shown: its failure needs no second box.
    bool errorBoxShown = false;
};

#endif // MAINWINDOW_H

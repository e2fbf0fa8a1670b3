#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include <QObject>
#include <QString>

#include <memory>

class Configuration;
class MainTaskSpecification;
class QNetworkAccessManager;
class QTimer;
class WorkFolderLock;

// Drives one update run for the main window: checks the crypto library, resumes or clears the
// session recorded in update.ini, settles the directories, records the session, then runs the
// main task tree, polls its download figures once a second, relays its texts and progress, and
// cleans up after success. Owns the network manager shared by every download (with the
// configured proxy), the poll timer and the running main task; the configuration is borrowed.
// GUI thread only.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum State {
        PRE_INIT = 0,
        POST_INIT = 1,
        RUNNING = 2,
        FINISHED = 3,
        CANCELED = 4
    };

    UpdateEngine(Configuration* config, QObject* parent);
    // Deletes the task trees before the network manager, whose replies their downloads hold.
    ~UpdateEngine() override;

    // PRE_INIT only. True leaves POST_INIT with the session recorded in update.ini.
    bool initialize();
    // POST_INIT only. Builds and starts the main task; always true.
    bool startUpdate();
    bool isBusy() const;
    // CANCELED only: back to PRE_INIT, ready for a fresh initialize().
    void resetAfterCancel();
    // After a successful run: update.ini, and in the client phase the working directory too.
    void cleanup();

    int getState() const { return m_State; }
    QNetworkAccessManager* networkManager() const { return m_NetworkManager; }

    // Empties the directory tree below path; the directory itself stays. Symbolic links are
    // neither followed nor removed.
    static void removeDirRecursively(const QString& path);
    // Removes the "_old_" copies that older installations left in dir.
    static void removeOldFiles(const QString& dir);
    // Removes the Qt 4 libraries of older installations from dir.
    static void removeQt4Files(const QString& dir);

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();

public slots:
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();

private:
    void applyProxy();
    // Removes dir's contents and then dir itself through its parent; false when the parent
    // cannot be entered, otherwise whether the directory went.
    static bool removeDirAndContents(const QString& dir, bool* parentEntered);
    void releaseMainTask();
    // Holds a shared lock on the run's work folder, so that other runs do not take it for stale.
    void claimWorkFolder(const QString& path);
    // Whether a session record may be acted on: the folder holding update.ini is private, dir is
    // a trusted work folder and vx3dir (when given) a plain existing installation directory.
    // False with the path and the reason in `reason`.
    static bool sessionRecordTrusted(const QString& dir, const QString& vx3dir, QString* reason);
    static bool isInstallationFolder(const QString& path, QString* reason);
    // The client phase's record, which alone says where to install: readable, trusted, of this
    // run's version, naming an existing installation outside the work folder. On false,
    // `reason` says what is wrong.
    bool clientSessionUsable(QString* dir, QString* vx3dir, QString* reason) const;
    // Removes the work folders of ours (TrustedFolder::isOwnWorkFolder) that a killed run left in
    // the temp folder, except `keep` and those a running update holds; with `installation`
    // given, only those whose session record names that installation.
    static void removeStaleWorkFolders(const QStringList& keep, const QString& installation = QString());
    // The installation that the session record in a work folder names (phase 2's copy), clean;
    // empty when there is none.
    static QString recordedInstallation(const QString& workFolder);

    int m_State = PRE_INIT;
    Configuration* m_Config;
    MainTaskSpecification* m_MainTask = nullptr;
    QTimer* m_Timer;
    QNetworkAccessManager* m_NetworkManager;
    std::unique_ptr<WorkFolderLock> m_WorkFolderLock;
};

#endif // UPDATEENGINE_H

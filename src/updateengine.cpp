#include "updateengine.h"

#include "configuration.h"
#include "cryptwrapper.h"
#include "maintaskspecification.h"
#include "safepath.h"
#include "trustedfolder.h"
#include "updateinidata.h"
#include "workfolderlock.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <cstdlib>

#include <sys/stat.h>

namespace {

const int kPollIntervalMs = 1000;
const quint16 kDefaultProxyPort = 3128;

// Files that older installations renamed to "_old_" + name while replacing themselves.
const char* const kLeftovers[] = {
    "update",          "libQtCore.so.4",     "libQtGui.so.4",     "libQtNetwork.so.4",
    "libQtSql.so.4",   "libQt5Core.so.5",    "libQt5Gui.so.5",    "libQt5Network.so.5",
    "libQt5Sql.so.5",  "libqgif.so",         "libqjpeg.so",       "libqtaccessiblewidgets.so",
    "libsqlite.so",
};

const char* const kQt4Libraries[] = {
    "libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4",
};

} // namespace

UpdateEngine::UpdateEngine(Configuration* config, QObject* parent)
    : QObject(parent)
    , m_Config(config)
    , m_Timer(new QTimer(this))
    , m_NetworkManager(new QNetworkAccessManager(this))
{
    connect(m_Config, &Configuration::message, this, &UpdateEngine::message);
    connect(m_Timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    // The client phase runs from its work folder: claimed at once, the phase before may
    // already have ended.
    if (TrustedFolder::isWorkFolder(Configuration::appDirPath()))
        claimWorkFolder(Configuration::appDirPath());
    m_Config->readUpdateIni();
    applyProxy();
}

UpdateEngine::~UpdateEngine()
{
    // Children go in the order they were made, the manager before any task; a run still going
    // (or one whose deferred deletion is pending) must not outlive the replies' owner.
    const QList<MainTaskSpecification*> tasks =
        findChildren<MainTaskSpecification*>(QString(), Qt::FindDirectChildrenOnly);
    for (MainTaskSpecification* task : tasks)
        delete task;
    m_MainTask = nullptr;
}

void UpdateEngine::applyProxy()
{
    const QString& text = m_Config->proxy;
    if (text.isEmpty()) {
        // Explicitly none: the system's proxy settings are not consulted.
        m_NetworkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(text, QUrl::TolerantMode);
    if (!url.isValid()) {
        // Nobody listens yet: the window connects its receivers right after construction.
        const QString reason = QString("'%1' is an invalid proxy specification").arg(text);
        QMetaObject::invokeMethod(this, [this, reason] { emit fatalError(reason); },
                                  Qt::QueuedConnection);
        return;
    }
    m_NetworkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy,
                                             url.host(QUrl::FullyDecoded),
                                             quint16(url.port(kDefaultProxyPort))));
}

bool UpdateEngine::initialize()
{
    Q_ASSERT_X(m_State == PRE_INIT, "initialize", "m_State == PRE_INIT");
    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }
    std::srand(uint(QDateTime::currentMSecsSinceEpoch() / 1000));

    int version = 0;
    QString dir;
    QString vx3dir;
    if (m_Config->isClientUpdate) {
        QString refusal;
        if (!clientSessionUsable(&dir, &vx3dir, &refusal)) {
            // Never another folder instead: the record is the only word on where to install.
            qDebug().noquote() << "Refusing the session record:" << refusal;
            emit error(QString("Cannot continue the update session: %1").arg(refusal));
            return false;
        }
        qDebug() << "Continuing previous session";
        emit message(QString("Previous update session for v. %1 found").arg(m_Config->versionNumber));
    } else if (UpdateIniData::get(&version, nullptr, &dir, &vx3dir)) {
        qDebug() << "Current version =" << version << "/ new version =" << m_Config->versionNumber;
        const bool resume = version == m_Config->versionNumber;
        QString distrust;
        if (!sessionRecordTrusted(dir, resume ? vx3dir : QString(), &distrust)) {
            // Nothing it names is touched; a fresh folder is made and the record rewritten.
            qDebug().noquote() << "Ignoring previous session record:" << distrust;
            emit message(QString("Ignoring previous session record: %1").arg(distrust));
            dir.clear();
            vx3dir.clear();
        } else if (resume) {
            qDebug() << "Continuing previous session";
            emit message(QString("Previous update session for v. %1 found").arg(version));
        } else {
            qDebug() << "Cleaning up previous session";
            emit message(QString("Cleanup previous session (v. %1, %2) files...").arg(version).arg(dir));
            bool parentEntered = false;
            const bool removed = removeDirAndContents(dir, &parentEntered);
            if (parentEntered)
                emit message(removed ? QString("Ok") : QString("Failed to remove directory"));
            dir.clear();
            vx3dir.clear();
            UpdateIniData::removeRecord();
        }
    }

    if (!m_Config->initalizeStart(dir, vx3dir))
        return false;
    claimWorkFolder(m_Config->workDir);
    // Nothing continues the folder of an earlier run of this installation that failed or was
    // killed in phase 2 (the next run starts again in phase 1): it goes, so that a fault that
    // persists does not leave a folder per run.
    removeStaleWorkFolders({m_Config->workDir, Configuration::appDirPath()}, m_Config->installDir);

    qDebug() << "initialize" << "modifying update.ini" << m_Config->isClientUpdate;
    if (!UpdateIniData::modify(m_Config->versionNumber, m_Config->workDir, m_Config->installDir,
                               m_Config->clientType)) {
        qDebug() << "Failed to write to update.ini";
        emit error(QString::fromUtf16(UpdateIniData::writeFailedMessage));
        return false;
    }
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::startUpdate()
{
    Q_ASSERT_X(m_State == POST_INIT, "startUpdate", "m_State == POST_INIT");
    qDebug() << "Starting update";
    m_MainTask = new MainTaskSpecification(m_NetworkManager, m_Config, this, 1.0);
    connect(m_MainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_MainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_MainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_MainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_MainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    m_State = RUNNING;
    m_Timer->start(kPollIntervalMs);
    m_MainTask->execute();
    return true;
}

bool UpdateEngine::isBusy() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING && m_MainTask)
        m_MainTask->cancel();
}

void UpdateEngine::resetAfterCancel()
{
    Q_ASSERT_X(m_State == CANCELED, "resetAfterCancel", "m_State==CANCELED");
    m_State = PRE_INIT;
    if (m_MainTask) {
        disconnect(m_MainTask, nullptr, this, nullptr);
        releaseMainTask();
    }
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !m_MainTask)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    m_MainTask->getDownloadStats(done, total, speed, downloading);
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    if (m_State != RUNNING)
        return;
    m_Timer->stop();
    cleanup();
    m_State = FINISHED;
    emit message("Update successfully finished");
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    if (m_State != RUNNING)
        return;
    m_Timer->stop();
    m_State = CANCELED;
    if (m_MainTask && m_MainTask->getState() == TaskSpecification::TASK_CANCELED)
        emit message("User aborted update");
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::claimWorkFolder(const QString& path)
{
    if (!m_WorkFolderLock || m_WorkFolderLock->path() != path)
        m_WorkFolderLock.reset(new WorkFolderLock(path, WorkFolderLock::Shared));
}

void UpdateEngine::releaseMainTask()
{
    if (m_MainTask)
        m_MainTask->deleteLater();
    m_MainTask = nullptr;
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    const QString iniPath = UpdateIniData::updateIniPath();
    if (m_Config->isClientUpdate == 0) {
        // Only the session record goes; the user's channel and network settings stay.
        UpdateIniData::removeRecord();
        qDebug() << "Deleted local update.ini" << iniPath;
        emit message("Removed temporary update.ini");
        return;
    }

    qDebug() << "Removing temporary files";
    emit message("Remove temporary files...");
    int version = 0;
    QString dir;
    if (UpdateIniData::get(&version, nullptr, &dir, nullptr)) {
        QString distrust;
        if (TrustedFolder::isWorkFolder(dir, &distrust)) {
            bool parentEntered = false;
            removeDirAndContents(dir, &parentEntered);
        } else {
            qDebug() << "Not removing" << dir << distrust;
        }
        QFile::remove(iniPath);
    }
    removeStaleWorkFolders(QStringList{dir, m_Config->workDir, Configuration::appDirPath()});
    emit message("Temporary files removed.");
}

bool UpdateEngine::sessionRecordTrusted(const QString& dir, const QString& vx3dir, QString* reason)
{
    // The record is only as trustworthy as the folder holding it: in the client phase that is
    // the work folder the new updater runs from, otherwise the installation.
    const QString holder = Configuration::appDirPath();
    QString why;
    if (!TrustedFolder::isPrivate(holder, &why)) {
        *reason = QString("'%1' %2").arg(holder, why);
        return false;
    }
    if (!TrustedFolder::isWorkFolder(dir, &why)) {
        *reason = QString("'%1' %2").arg(dir, why);
        return false;
    }
    if (!vx3dir.isEmpty() && !isInstallationFolder(vx3dir, &why)) {
        *reason = QString("'%1' %2").arg(vx3dir, why);
        return false;
    }
    return true;
}

bool UpdateEngine::clientSessionUsable(QString* dir, QString* vx3dir, QString* reason) const
{
    int version = 0;
    if (!UpdateIniData::get(&version, nullptr, dir, vx3dir)) {
        *reason = QString("'%1' holds no valid session record").arg(UpdateIniData::updateIniPath());
        return false;
    }
    qDebug() << "Current version =" << version << "/ new version =" << m_Config->versionNumber;
    if (!sessionRecordTrusted(*dir, *vx3dir, reason))
        return false;
    if (version != m_Config->versionNumber) {
        *reason = QString("the session record is for version %1, not %2").arg(version).arg(m_Config->versionNumber);
        return false;
    }
    if (vx3dir->isEmpty()) {
        *reason = "the session record names no installation";
        return false;
    }
    for (const QString& work : {*dir, Configuration::appDirPath()}) {
        const QString clean = QDir::cleanPath(work);
        if (*vx3dir == clean || vx3dir->startsWith(clean + '/')) {
            *reason = QString("'%1' is the work folder or lies in it").arg(*vx3dir);
            return false;
        }
    }
    return true;
}

bool UpdateEngine::isInstallationFolder(const QString& path, QString* reason)
{
    if (!QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path || path == "/") {
        *reason = "is not a clean absolute path of an installation";
        return false;
    }
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        *reason = "is not an existing directory";
        return false;
    }
    return true;
}

void UpdateEngine::removeStaleWorkFolders(const QStringList& keep, const QString& installation)
{
    QStringList kept;
    for (const QString& path : keep)
        if (!path.isEmpty())
            kept << QDir::cleanPath(path);
    const QDir temp(QDir::tempPath());
    const QStringList names = temp.entryList(QStringList{"voxmere_temp_*"},
                                             QDir::Dirs | QDir::NoSymLinks | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString path = QDir::cleanPath(temp.absoluteFilePath(name));
        if (kept.contains(path) || !TrustedFolder::isOwnWorkFolder(path))
            continue;
        // A run of another installation may be working in it.
        const WorkFolderLock unused(path, WorkFolderLock::Exclusive);
        if (!unused.isHeld())
            continue;
        if (!installation.isEmpty() && recordedInstallation(path) != QDir::cleanPath(installation))
            continue;
        qDebug() << "Removing stale work folder" << path;
        bool parentEntered = false;
        removeDirAndContents(path, &parentEntered);
    }
}

QString UpdateEngine::recordedInstallation(const QString& workFolder)
{
    const QSettings record(workFolder + QStringLiteral("/update.ini"), QSettings::IniFormat);
    const QString vx3dir = record.value(QStringLiteral("current/vx3dir")).toString();
    return vx3dir.isEmpty() ? QString() : QDir::cleanPath(vx3dir);
}

bool UpdateEngine::removeDirAndContents(const QString& dir, bool* parentEntered)
{
    removeDirRecursively(dir);
    *parentEntered = QDir(dir).cdUp();
    return *parentEntered && SafePath::removeFolder(dir);
}

void UpdateEngine::removeDirRecursively(const QString& path)
{
    // By descriptor: a folder swapped for a link while it is emptied is never followed.
    SafePath::removeContents(path, true);
}

void UpdateEngine::removeOldFiles(const QString& dir)
{
    const QDir base(dir);
    for (const char* name : kLeftovers) {
        const QString candidate = base.absoluteFilePath(QLatin1String("_old_") + QLatin1String(name));
        struct stat st;
        if (SafePath::status(candidate, &st, false)) {
            qDebug() << "Remove old file:" << candidate;
            SafePath::remove(candidate);
        }
    }
}

void UpdateEngine::removeQt4Files(const QString& dir)
{
    const QDir base(dir);
    for (const char* name : kQt4Libraries) {
        const QString candidate = base.absoluteFilePath(QLatin1String(name));
        struct stat st;
        if (SafePath::status(candidate, &st, false)) {
            qDebug() << "Remove Qt4 file:" << candidate;
            SafePath::remove(candidate);
        }
    }
}

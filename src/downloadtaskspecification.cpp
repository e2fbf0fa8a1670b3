#include "downloadtaskspecification.h"

#include "configuration.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* nam,
                                                     const QString& path, int version,
                                                     const QString& filePath, qint64 expectedSize,
                                                     QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_NetworkManager(nam)
    , m_Path(path)
    , m_Version(version)
    , m_File(filePath)
    , m_Total(expectedSize)
    , m_ExpectedSize(expectedSize)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    dropReply();
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_Path;
    emit message(tr("Downloading %1").arg(m_Path));
    state = TASK_RUNNING;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(tr("Unable to create file %1 for saving").arg(m_File.fileName()));
        fail();
        return;
    }
    const QUrl url = requestUrl(m_Version, m_Path);
    qDebug() << "Requesting download of" << url;
    QNetworkRequest request(url);
    // Without this Qt asks for gzip and inflates the reply without any bound.
    request.setRawHeader("Accept-Encoding", "identity");
    m_Reply = m_NetworkManager ? m_NetworkManager->get(request) : nullptr;
    if (!m_Reply) {
        m_File.close();
        m_File.remove();
        emit error(tr("Download failed to initialize"));
        fail();
        return;
    }
    if (!m_Reply->isRunning()) {
        failDownload(m_Reply->errorString());
        return;
    }
    m_Reply->setReadBufferSize(kReplyBuffer);
    connect(m_Reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this,
            &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
}

bool DownloadTaskSpecification::failDownload(const QString& reason)
{
    cleanup();
    emit message(reason);
    const int used = m_Retries++;
    if (used < kMaxRetries) {
        startDownload();
        return true;
    }
    emit message(tr("Unable to download %1").arg(m_Path));
    m_File.remove();
    fail();
    return false;
}

void DownloadTaskSpecification::dropReply()
{
    if (!m_Reply)
        return;
    QNetworkReply* reply = m_Reply;
    m_Reply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    // Close a transfer under way now rather than at deletion: the next attempt may need its
    // connection. A refused status ends by itself (and Qt warns when it is aborted too).
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (reply->isRunning() && reply->error() == QNetworkReply::NoError
        && (status.isNull() || status.toInt() == 200))
        reply->abort();
    reply->deleteLater();
}

void DownloadTaskSpecification::cleanup()
{
    dropReply();
    m_StallCount = 0;
    m_WindowPolls = 0;
    m_WindowStart = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_LastReported = 0;
    m_Total = m_ExpectedSize;
    m_Received = 0;
    setProgress(0);
}

bool DownloadTaskSpecification::readAvailable()
{
    char buffer[kReadChunk];
    if (m_Reply) {
        const QString refusal = refusalOfHead();
        if (!refusal.isEmpty()) {
            failDownload(refusal);
            return false;
        }
    }
    while (m_Reply) {
        m_StallCount = 0;
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return flushFile();
        const qint64 got = m_Reply->read(buffer, qMin<qint64>(available, kReadChunk));
        if (got == 0)
            return flushFile();
        if (got < 0) {
            failDownload(m_Reply->errorString());
            return false;
        }
        const qint64 limit = sizeLimit();
        if (limit >= 0 && got > limit - m_Received) {
            failDownload(tooLargeText());
            return false;
        }
        const qint64 written = m_File.write(buffer, got);
        if (written < 0) {
            failDownload(writeFailure());
            return false;
        }
        if (written < got) {
            failDownload(tr("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                             .arg(m_File.fileName())
                             .arg(got)
                             .arg(written));
            return false;
        }
        m_Received += got;
        if (m_Total > 0)
            setProgress(qMin(1.0, qreal(m_Received) / qreal(m_Total)));
    }
    return true;
}

bool DownloadTaskSpecification::flushFile()
{
    if (m_File.flush())
        return true;
    failDownload(writeFailure());
    return false;
}

QString DownloadTaskSpecification::writeFailure()
{
    // A flush that wrote only part of the buffer leaves no reason; the next one gives the system's.
    m_File.flush();
    return m_File.errorString();
}

void DownloadTaskSpecification::onReadyRead()
{
    readAvailable();
}

void DownloadTaskSpecification::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    // A size given by the caller is never replaced by the server's.
    if (bytesTotal > 0 && m_Total == -1)
        m_Total = bytesTotal;
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isNull())
        return;
    const int code = status.toInt();
    if (code != 200) {
        failDownload(tr("%1 returned %2").arg(m_Path).arg(code));
        return;
    }
    const QString refusal = refusalOfHead();
    if (!refusal.isEmpty())
        failDownload(refusal);
}

qint64 DownloadTaskSpecification::sizeLimit() const
{
    // A listed size of 0 means the size is not known.
    return m_ExpectedSize > 0 ? m_ExpectedSize : m_MaximumSize;
}

QString DownloadTaskSpecification::tooLargeText() const
{
    return tr("file %1 is larger than %2 bytes").arg(m_Path).arg(sizeLimit());
}

QString DownloadTaskSpecification::refusalOfHead() const
{
    const QByteArray encoding = m_Reply->rawHeader("Content-Encoding").trimmed();
    if (!encoding.isEmpty() && encoding.toLower() != "identity")
        return tr("%1 was sent with content encoding %2").arg(m_Path, QString::fromLatin1(encoding));
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 limit = sizeLimit();
    if (limit >= 0 && length.isValid() && length.toLongLong() > limit)
        return tooLargeText();
    return QString();
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        failDownload(m_Reply->errorString());
        return;
    }
    // The last read may have ended the attempt, or a receiver of its progress the task.
    if (!readAvailable() || !m_Reply)
        return;
    // Qt may end a transfer without error although the connection was cut off before the
    // announced length (seen when it silently resends on a reused connection).
    if (!announcedLengthMet()) {
        failDownload(tr("file %1 is incomplete").arg(m_Path));
        return;
    }
    m_Reply->close();
    m_Reply->deleteLater();
    disconnect(m_Reply, nullptr, this, nullptr);
    m_Reply = nullptr;
    m_File.close();
    // Something outside removed the file during the transfer: it was not downloaded.
    if (!QFileInfo::exists(m_File.fileName())) {
        failDownload(tr("Downloaded file %1 is missing").arg(m_File.fileName()));
        return;
    }
    downloadFinished();
}

bool DownloadTaskSpecification::announcedLengthMet() const
{
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    return !length.isValid() || length.toLongLong() == m_Received;
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_Path << m_File.fileName() << m_File.isOpen()
             << m_File.exists();
    emit message(tr("Downloading %1 finished").arg(m_Path));
    succeed();
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply* reply)
{
    Q_UNUSED(reply);
    disconnect(m_NetworkManager, nullptr, this, nullptr);
    if (!m_Reply)
        startDownload();
}

void DownloadTaskSpecification::reset()
{
    cleanup();
    m_Retries = 0;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state != TASK_RUNNING)
        return;
    cleanup();
    setCanceled();
}

void DownloadTaskSpecification::abortOnOtherCancel(TaskSpecification* other)
{
    Q_UNUSED(other);
    if (m_Reply) {
        emit message(tr("Abort downloading %1").arg(m_Path));
        cleanup();
    }
    fail();
}

void DownloadTaskSpecification::getDownloadStats(quint64& downloadDone, quint64& downloadTotal,
                                                 quint64& speed, bool& downloading)
{
    downloadDone = quint64(m_Received);
    downloadTotal = m_Total < 0 ? 0 : quint64(m_Total);
    speed = quint64(m_Received - m_LastReported);
    m_LastReported = m_Received;
    if (state != TASK_RUNNING || !m_Reply)
        return;
    const int polls = m_StallCount++;
    if (polls < kStallLimit && !windowTooSlow())
        downloading = true;
    else
        failDownload(tr("file %1 timed out").arg(m_Path));
}

bool DownloadTaskSpecification::windowTooSlow()
{
    const int window = kStallLimit + 1;
    if (++m_WindowPolls < window)
        return false;
    const bool slow = m_Received - m_WindowStart < qint64(kLowestRate) * window;
    m_WindowPolls = 0;
    m_WindowStart = m_Received;
    return slow;
}

QUrl DownloadTaskSpecification::requestUrl(int version, const QString& path)
{
    QStringList segments = path.split(QLatin1Char('/'));
    for (QString& segment : segments)
        segment = QString::fromLatin1(QUrl::toPercentEncoding(segment));
    return QUrl(Configuration::updateBaseUrl + QString::number(version) + QLatin1Char('/')
                    + segments.join(QLatin1Char('/')),
                QUrl::TolerantMode);
}

#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QFile>
#include <QUrl>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file of a release with an HTTP GET (update base URL + version + "/" + path) and
// streams it into a local file. Only status 200 counts; a failed or stalled attempt is dropped
// with its partial file and started again from byte 0, at most four times. Stalls are detected
// by counting the engine's polls of getDownloadStats without data, and a trickle by the bytes
// that came in over a window of polls; the task has no timer.
// Every byte is hostile until checked: the request asks for the body as it is stored, a reply in
// any other content encoding is refused, and an attempt ends as soon as it brings more bytes than
// the expected size (or, without one, than the maximum set for the file).
// The network manager is shared and borrowed; the reply is owned. GUI thread only.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    DownloadTaskSpecification(QNetworkAccessManager* nam, const QString& path, int version,
                              const QString& filePath, qint64 expectedSize, QObject* parent,
                              qreal weight);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    // Assigns (does not add) the bytes of this attempt, its total (0 when unknown) and the bytes
    // since the previous poll; counts a poll without data and ends the attempt on the 16th, or
    // at the end of a window of 16 polls that brought less than the lowest rate.
    void getDownloadStats(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                          bool& downloading) override;
    void cancel() override;
    void abortOnOtherCancel(TaskSpecification* other) override;

    // Bytes an attempt may bring when no expected size is given; -1 (the default) for no limit.
    void setMaximumSize(qint64 bytes) { m_MaximumSize = bytes; }

    // The base URL, the version folder and `path` with each of its segments percent-encoded,
    // so that any file name reaches a plain static server unchanged.
    static QUrl requestUrl(int version, const QString& path);

    static const int kReadChunk = 4096;
    // What the network layer may hold of a reply before this task reads it: past it, the
    // sender is made to wait instead of the reply growing in memory.
    static const int kReplyBuffer = 1 << 20;
    static const int kMaxRetries = 4;
    static const int kStallLimit = 15;
    // Bytes per poll (per second at the engine's period) that an attempt must average over a
    // window of kStallLimit + 1 polls.
    static const int kLowestRate = 1024;

protected:
    // The file is complete and closed: reports it and succeeds.
    virtual void downloadFinished();

    // One attempt: opens (truncates) the file and sends the request.
    void startDownload();
    // Ends the attempt with `reason`; true when another attempt was started, false when the task
    // has failed for good.
    bool failDownload(const QString& reason);
    // Drops the reply and the partly written file and zeroes the figures.
    void cleanup();
    // Moves what the reply holds into the file and flushes it, so that a full disk shows at
    // once; false when that ended the attempt.
    bool readAvailable();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply* reply);

private:
    void dropReply();
    // Hands the buffered bytes to the system; on failure ends the attempt and returns false.
    bool flushFile();
    // The reason the file refused a write.
    QString writeFailure();
    // False when the server announced a length that this attempt did not receive.
    bool announcedLengthMet() const;
    // The most bytes an attempt may bring; -1 when unlimited.
    qint64 sizeLimit() const;
    // Why the reply's head is refused (an encoding, or an announced length over the limit);
    // empty when it is acceptable.
    QString refusalOfHead() const;
    QString tooLargeText() const;
    // Counts a poll of the rate window; true when the window ended below the lowest rate.
    bool windowTooSlow();

    QNetworkAccessManager* m_NetworkManager;
    QNetworkReply* m_Reply = nullptr;
    int m_StallCount = 0;
    int m_WindowPolls = 0;
    qint64 m_WindowStart = 0;
    QString m_Path;
    int m_Version;
    QFile m_File;
    int m_Retries = 0;
    qint64 m_LastReported = 0;
    qint64 m_Total;
    qint64 m_ExpectedSize;
    qint64 m_Received = 0;
    qint64 m_MaximumSize = -1;
};

#endif // DOWNLOADTASKSPECIFICATION_H

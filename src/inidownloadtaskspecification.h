#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "composedtaskspecification.h"

#include <QString>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// First step of every run: makes sure the phase's product ini and its ".sig" file lie in the work
// directory (fetching the packed ini and unpacking it, and the signature, when missing) and then
// checks the ini against the built-in public key. Files already present are used as they stand;
// only the check judges them, and when anything fails all three files are removed, so that the
// next run fetches them afresh. Sub-tasks run one at a time and are rebuilt by every execute().
// The network manager and the configuration are borrowed. GUI thread only.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    IniDownloadTaskSpecification(QNetworkAccessManager* nam, Configuration* config,
                                 QObject* parent, qreal weight);

    void execute() override;
    // Discards the sub-tasks (they are built afresh by the next execute), then the plain reset.
    void reset() override;
    void subtasksDone() override;

    // "vx3_client_linux_x86.ini" in the client phase, "update_linux_x86.ini" in the updater phase.
    static QString productIniName(bool clientUpdate);
    static QString packedName(const QString& iniName) { return iniName + "._lzma2_"; }
    static QString signatureName(const QString& iniName) { return iniName + ".sig"; }
    static QString unpackingName(const QString& iniName) { return iniName + ".unpacking"; }

    static constexpr qreal kDownloadWeight = 0.3333;
    // Taken, like the downloads' shares, from the check's.
    static constexpr qreal kUnpackWeight = 0.1;
    // Bounds of what the server may send: the packed and the unpacked ini, and the signature.
    static constexpr quint32 kMaximumIniSize = 16u << 20;
    static constexpr qint64 kMaximumSignatureSize = 64 << 10;

private slots:
    void onIniUnpacked();
    void onSigCheckDone(bool ok, CheckSignatureTaskSpecification* task);

private:
    void makeSubtasksAndStart();
    // Removes the packed and unpacked ini and the signature from the work directory.
    void removeCachedFiles();

    QNetworkAccessManager* networkManager;
    Configuration* config;
};

#endif // INIDOWNLOADTASKSPECIFICATION_H

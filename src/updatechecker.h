#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include "updateversions.h"

#include <QByteArray>
#include <QObject>

// Asks the version server once which release each channel offers. The HTTP GET runs on an
// HTTPDownloader thread; the answer comes back in the GUI thread, is decoded and emitted once as
// `update_available` (an empty table when anything failed), after which the checker deletes
// itself. Lives in the GUI thread, usually as a child of the Configuration.
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    explicit UpdateChecker(QObject* parent);

    // Starts the query and returns at once.
    void checkForUpdate();

    // The pair of channel 0 ("stable"), 1 ("beta") or 2 ("alpha"); an empty pair otherwise.
    static QPair<QString, QString> versionForChannel(const UpdateVersions& versions, int channel);

    // Longest version text the configured channel's entry may carry (Configuration checks it).
    static constexpr int kMaxVersionTextLength = 256;

signals:
    void update_available(UpdateVersions versions);

private slots:
    void on_updateCheckAvailable(QByteArray updateData);
};

#endif // UPDATECHECKER_H

#include "updatechecker.h"

#include "httpdownloader.h"
#include "versionlist.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

#include <string>

UpdateChecker::UpdateChecker(QObject* parent)
    : QObject(parent)
{
}

void UpdateChecker::checkForUpdate()
{
    std::string url;
    getDefaultVersionsUrl(&url);
    QNetworkRequest request(QUrl(QString::fromStdString(url), QUrl::TolerantMode));
    HTTPDownloader* downloader = new HTTPDownloader(request);
    connect(downloader, &HTTPDownloader::download_available, this, &UpdateChecker::on_updateCheckAvailable);
    downloader->start();
}

QPair<QString, QString> UpdateChecker::versionForChannel(const UpdateVersions& versions, int channel)
{
    static const char* const names[] = { "stable", "beta", "alpha" };
    if (channel < 0 || channel > 2)
        return QPair<QString, QString>();
    return versions.value(QString::fromLatin1(names[channel]));
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    UpdateVersions table;
    VersionList list;
    if (parseVersions(updateData.constData(), updateData.size(), &list) == PARSE_VERSIONS_OK) {
        for (const std::string& name : list.channelNames) {
            const ChannelVersion& entry = list.channels.at(name);
            table.insert(QString::fromStdString(name),
                         qMakePair(QString::number(static_cast<quint32>(entry.version_number)),
                                   QString::fromStdString(entry.version_string)));
        }
    }
    emit update_available(table);
    deleteLater();
}

#ifndef DOWNLOADREPLACELISTS_H
#define DOWNLOADREPLACELISTS_H

#include "deleteentry.h"
#include "downloadentry.h"
#include "prepostinstallentry.h"
#include "updatefileentry.h"

#include <QList>

// The five work lists compiled from the product ini. The main task owns one value and lends the
// address of each list to the step that consumes it; copies copy list by list.
class DownloadReplaceLists
{
public:
    QList<DownloadEntry> downloadList;
    QList<UpdateFileEntry> replaceList;
    QList<DeleteEntry> deleteList;
    QList<PrePostInstallEntry> preinstallList;
    QList<PrePostInstallEntry> postinstallList;
};

#endif // DOWNLOADREPLACELISTS_H

#ifndef UPDATEVERSIONS_H
#define UPDATEVERSIONS_H

#include <QHash>
#include <QMetaType>
#include <QPair>
#include <QString>

// Answer of one version query: channel name ("stable", "beta", "alpha") to the pair
// (version number as decimal text, version string). Passed by value in signals.
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;

Q_DECLARE_METATYPE(UpdateVersions)

#endif // UPDATEVERSIONS_H

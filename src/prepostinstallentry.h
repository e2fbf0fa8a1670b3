#ifndef PREPOSTINSTALLENTRY_H
#define PREPOSTINSTALLENTRY_H

#include <QString>
#include <QStringList>

// One program to run before or after the files are installed, relative to the working directory.
class PrePostInstallEntry
{
public:
    PrePostInstallEntry() = default;
    PrePostInstallEntry(const QString& program, const QStringList& args, bool required);

    QString program;
    QStringList args;     // installation-directory placeholder already replaced
    bool required = true; // false only for "optional"
};

#endif // PREPOSTINSTALLENTRY_H

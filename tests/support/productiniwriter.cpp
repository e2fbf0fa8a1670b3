#include "productiniwriter.h"

#include <QFile>
#include <QSettings>
#include <QStringList>

namespace vxtest {

namespace {

QString joinParts(const QStringList& parts)
{
    return parts.join("::");
}

} // namespace

void ProductIniWriter::addFile(const QString& section, const QString& key,
                               const Digested& published, const Digested& installed,
                               const QString& target)
{
    m_Lines.append({section, key,
                    joinParts({published.sha512, QString::number(published.size),
                               installed.sha512, QString::number(installed.size), target})});
}

void ProductIniWriter::addPatch(const QString& section, const QString& key, const Digested& patch,
                                const Digested& source, const QString& target)
{
    m_Lines.append({section, key,
                    joinParts({patch.sha512, QString::number(patch.size), source.sha512,
                               QString::number(source.size), target})});
}

void ProductIniWriter::addDelete(const QString& path, int code)
{
    m_Lines.append({"delete", path, QString::number(code)});
}

void ProductIniWriter::addInstallProgram(const QString& section, const QString& program)
{
    m_Lines.append({section, program, "linux32"});
}

bool ProductIniWriter::write(const QString& path)
{
    m_Error.clear();
    if (QFile::exists(path) && !QFile::remove(path)) {
        m_Error = QString("cannot replace %1").arg(path);
        return false;
    }
    {
        QSettings ini(path, QSettings::IniFormat);
        for (const Line& line : m_Lines)
            ini.setValue(line.section + "/" + line.key, line.value);
        ini.sync();
        if (ini.status() != QSettings::NoError) {
            m_Error = QString("cannot write %1").arg(path);
            return false;
        }
    }
    return true;
}

QString ProductIniWriter::fileName(bool client)
{
    return client ? QString("vx3_client_linux_x86.ini") : QString("update_linux_x86.ini");
}

} // namespace vxtest

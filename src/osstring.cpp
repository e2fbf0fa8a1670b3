#include "osstring.h"

std::string toOsString(const QString& path)
{
    return path.toUtf8().toStdString();
}

#ifndef OSSTRING_H
#define OSSTRING_H

#include <QString>

#include <string>

// A path as the patch library takes it: its UTF-8 bytes.
std::string toOsString(const QString& path);

#endif // OSSTRING_H

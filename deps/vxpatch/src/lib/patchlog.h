#ifndef VXPATCH_PATCHLOG_H
#define VXPATCH_PATCHLOG_H

#include <string>

#include "log.h"

namespace vxpatch {

// The library's own failure and warning texts, logged without a channel or id.
inline void LogError(const std::string& text)
{
    ::log(text, LogLevel_ERROR, std::string(), 0);
}

inline void LogWarning(const std::string& text)
{
    ::log(text, LogLevel_WARNING, std::string(), 0);
}

} // namespace vxpatch

#endif // VXPATCH_PATCHLOG_H

// The version reply parser never crashes on hostile bytes, leaves its output alone when it
// refuses them, and a list it accepts names only channels it holds. The fuzz input is the reply.
#include "versionlist.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <google/protobuf/stubs/logging.h>

namespace {

void DropProtobufLog(google::protobuf::LogLevel, const char*, int, const std::string&) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = (google::protobuf::SetLogHandler(DropProtobufLog), true);
    (void)quiet;
    if (size > 1 << 20)
        return 0;
    VersionList list;
    list.licenseAgreementId = -7;
    const int status = parseVersions(reinterpret_cast<const char*>(data), int(size), &list);
    if (status != PARSE_VERSIONS_OK) {
        if (list.licenseAgreementId != -7 || !list.channelNames.empty() || !list.channels.empty())
            std::abort();
        return 0;
    }
    for (const std::string& name : list.channelNames) {
        if (list.channels.find(name) == list.channels.end())
            std::abort();
    }
    if (list.channels.size() > list.channelNames.size())
        std::abort();
    return 0;
}

#ifndef VERSIONLIST_H
#define VERSIONLIST_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace com { namespace voxmere { namespace update { class Versions; } } }

// The newest release of one update channel, as the version server names it.
struct ChannelVersion
{
    int32_t version_number = 0;
    std::string version_string;
};

// A decoded reply of the version server. Names are byte strings (no UTF-8 check); `channelNames`
// keeps the reply order with duplicates, `channels` holds the first entry of each name.
struct VersionList
{
    int32_t licenseAgreementId = 0;
    int32_t licenseAgreementIdMin = 0;
    std::vector<std::string> channelNames;
    std::map<std::string, ChannelVersion> channels;
};

// Process-wide URL of the version server (plain HTTP, path "/vx3-client-2"). A deployment sets it
// at build time; tests point it at a local server.
extern std::string defaultVersionsUrl;

enum ParseVersionsStatus {
    PARSE_VERSIONS_OK = 0,
    PARSE_VERSIONS_NULL_DATA = 1,
    PARSE_VERSIONS_INCOMPLETE = 2
};

// Decodes a serialized `Versions` of `size` bytes into `out`. Returns 0 on success, 1 for null
// data, 2 when the bytes are not a complete message (missing required fields included); `out` is
// left untouched on failure.
int parseVersions(const char* data, int size, VersionList* out);

// Replaces `out` with the contents of a parsed message; the first channel of a name wins.
void copyVersions(VersionList* out, const com::voxmere::update::Versions& versions);

// Assigns the process-wide versions URL to `out`.
void getDefaultVersionsUrl(std::string* out);

#endif // VERSIONLIST_H

#include "versionlist.h"

#include "UpdateMessage.pb.h"

std::string defaultVersionsUrl = VX_VERSIONS_URL;

int parseVersions(const char* data, int size, VersionList* out)
{
    if (!data)
        return PARSE_VERSIONS_NULL_DATA;
    if (size < 0)
        return PARSE_VERSIONS_INCOMPLETE;
    com::voxmere::update::Versions versions;
    if (!versions.ParseFromArray(data, size))
        return PARSE_VERSIONS_INCOMPLETE;
    copyVersions(out, versions);
    return PARSE_VERSIONS_OK;
}

void copyVersions(VersionList* out, const com::voxmere::update::Versions& versions)
{
    VersionList list;
    list.licenseAgreementId = versions.licenseagreementid();
    list.licenseAgreementIdMin = versions.has_licenseagreementidmin() ? versions.licenseagreementidmin() : 0;
    for (const com::voxmere::update::Channel& channel : versions.channels()) {
        list.channelNames.push_back(channel.name());
        ChannelVersion entry;
        entry.version_number = channel.version_number();
        entry.version_string = channel.version_string();
        list.channels.emplace(channel.name(), entry); // keeps the first entry of a name
    }
    *out = std::move(list);
}

void getDefaultVersionsUrl(std::string* out)
{
    *out = defaultVersionsUrl;
}

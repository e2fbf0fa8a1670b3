#include "protobufhelper.h"
#include "versionlist.h"
#include "versionstestsupport.h"

#include <gtest/gtest.h>

namespace {

QByteArray encode(const char* text)
{
    QByteArray bytes;
    EXPECT_TRUE(vxtest::protocEncode(QStringLiteral("Versions"), QByteArray(text), &bytes)) << text;
    return bytes;
}

int parse(const QByteArray& bytes, VersionList* out)
{
    return parseVersions(bytes.constData(), bytes.size(), out);
}

// A list whose every field differs from what any reply in these tests decodes to.
VersionList sentinelList()
{
    VersionList list;
    list.licenseAgreementId = 4242;
    list.licenseAgreementIdMin = 4343;
    list.channelNames = { "sentinel" };
    list.channels["sentinel"] = ChannelVersion{ 7, "seven" };
    return list;
}

void expectSentinel(const VersionList& list)
{
    EXPECT_EQ(list.licenseAgreementId, 4242);
    EXPECT_EQ(list.licenseAgreementIdMin, 4343);
    EXPECT_EQ(list.channelNames, std::vector<std::string>{ "sentinel" });
    ASSERT_EQ(list.channels.size(), 1u);
    EXPECT_EQ(list.channels.at("sentinel").version_string, "seven");
}

} // namespace

TEST(ParseVersions, DecodesFullReplyInServerOrder)
{
    const QByteArray bytes = encode(
        "licenseAgreementId: 12 licenseAgreementIdMin: 9 "
        "channels { name: \"stable\" version_number: 3100 version_string: \"3.1.0\" } "
        "channels { name: \"alpha\" version_number: 3300 version_string: \"3.3.0-alpha\" } "
        "channels { name: \"beta\" version_number: 3200 version_string: \"3.2.0 beta \\303\\244\" }");
    VersionList list = sentinelList();
    ASSERT_EQ(parse(bytes, &list), PARSE_VERSIONS_OK);
    EXPECT_EQ(list.licenseAgreementId, 12);
    EXPECT_EQ(list.licenseAgreementIdMin, 9);
    EXPECT_EQ(list.channelNames, (std::vector<std::string>{ "stable", "alpha", "beta" }));
    ASSERT_EQ(list.channels.size(), 3u);
    EXPECT_EQ(list.channels.at("stable").version_number, 3100);
    EXPECT_EQ(list.channels.at("stable").version_string, "3.1.0");
    EXPECT_EQ(list.channels.at("alpha").version_number, 3300);
    EXPECT_EQ(list.channels.at("beta").version_string, "3.2.0 beta \xc3\xa4");
    EXPECT_EQ(list.channels.begin()->first, "alpha"); // map ordered by name
}

TEST(ParseVersions, ReplyWithoutChannelsIsEmptyListAndAbsentMinimumIsZero)
{
    VersionList list = sentinelList();
    ASSERT_EQ(parse(encode("licenseAgreementId: 5"), &list), PARSE_VERSIONS_OK);
    EXPECT_EQ(list.licenseAgreementId, 5);
    EXPECT_EQ(list.licenseAgreementIdMin, 0);
    EXPECT_TRUE(list.channelNames.empty());
    EXPECT_TRUE(list.channels.empty());
}

TEST(ParseVersions, RejectsIncompleteRepliesAndLeavesOutputUntouched)
{
    struct Case { const char* label; QByteArray bytes; };
    const QByteArray full = encode(
        "licenseAgreementId: 1 channels { name: \"stable\" version_number: 1 version_string: \"1\" }");
    const Case cases[] = {
        { "channel without version_string",
          encode("licenseAgreementId: 1 channels { name: \"stable\" version_number: 1 }") },
        { "channel without name",
          encode("licenseAgreementId: 1 channels { version_number: 1 version_string: \"1\" }") },
        { "channel without version_number",
          encode("licenseAgreementId: 1 channels { name: \"beta\" version_string: \"1\" }") },
        { "second channel incomplete",
          encode("licenseAgreementId: 1 channels { name: \"stable\" version_number: 1 version_string: \"1\" } "
                 "channels { name: \"beta\" }") },
        { "no licenseAgreementId",
          encode("channels { name: \"stable\" version_number: 1 version_string: \"1\" }") },
        { "empty body", QByteArray() },
        { "truncated by one byte", full.left(full.size() - 1) },
        { "sub-message length beyond the end", QByteArray::fromHex("0801127f0a01") },
        { "unterminated varint", QByteArray::fromHex("08ffffffff") },
        { "group wire type out of place", QByteArray::fromHex("08010c") },
        { "field number zero", QByteArray::fromHex("0801000a") },
        { "garbage", QByteArray(64, '\xff') },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        VersionList list = sentinelList();
        EXPECT_EQ(parse(c.bytes, &list), PARSE_VERSIONS_INCOMPLETE);
        expectSentinel(list);
    }
}

TEST(ParseVersions, SurvivesEveryTruncationAndSingleByteCorruption)
{
    const QByteArray full = encode(
        "licenseAgreementId: 12 licenseAgreementIdMin: -9 "
        "channels { name: \"stable\" version_number: 3100 version_string: \"3.1.0\" } "
        "channels { name: \"beta\" version_number: -1 version_string: \"3.2.0-beta\" }");
    const auto check = [](const QByteArray& bytes) {
        VersionList list = sentinelList();
        const int status = parse(bytes, &list);
        if (status == PARSE_VERSIONS_OK) {
            EXPECT_GE(list.channelNames.size(), list.channels.size());
            for (const std::string& name : list.channelNames)
                EXPECT_EQ(list.channels.count(name), 1u);
        } else {
            EXPECT_EQ(status, PARSE_VERSIONS_INCOMPLETE);
            expectSentinel(list);
        }
    };
    for (int size = 0; size < full.size(); ++size) {
        SCOPED_TRACE(size);
        check(full.left(size));
    }
    for (int pos = 0; pos < full.size(); ++pos) {
        for (unsigned char value : { 0x00, 0x01, 0x7f, 0x80, 0xff }) {
            SCOPED_TRACE(pos * 1000 + value);
            QByteArray bytes = full;
            bytes[pos] = static_cast<char>(value);
            check(bytes);
        }
    }
}

TEST(ParseVersions, NullDataAndNegativeSizeAreRejected)
{
    VersionList list = sentinelList();
    EXPECT_EQ(parseVersions(nullptr, 10, &list), PARSE_VERSIONS_NULL_DATA);
    expectSentinel(list);
    const QByteArray bytes = encode("licenseAgreementId: 5");
    EXPECT_EQ(parseVersions(bytes.constData(), -1, &list), PARSE_VERSIONS_INCOMPLETE);
    expectSentinel(list);
}

TEST(ParseVersions, FirstChannelOfDuplicateNameWins)
{
    const QByteArray bytes = encode(
        "licenseAgreementId: 1 "
        "channels { name: \"beta\" version_number: 20 version_string: \"first\" } "
        "channels { name: \"stable\" version_number: 10 version_string: \"s\" } "
        "channels { name: \"beta\" version_number: 21 version_string: \"second\" }");
    VersionList list;
    ASSERT_EQ(parse(bytes, &list), PARSE_VERSIONS_OK);
    EXPECT_EQ(list.channelNames, (std::vector<std::string>{ "beta", "stable", "beta" }));
    ASSERT_EQ(list.channels.size(), 2u);
    EXPECT_EQ(list.channels.at("beta").version_number, 20);
    EXPECT_EQ(list.channels.at("beta").version_string, "first");
}

TEST(ParseVersions, KeepsNegativeNumbers)
{
    const QByteArray bytes = encode(
        "licenseAgreementId: -1 licenseAgreementIdMin: -2147483648 "
        "channels { name: \"stable\" version_number: -5 version_string: \"neg\" }");
    VersionList list;
    ASSERT_EQ(parse(bytes, &list), PARSE_VERSIONS_OK);
    EXPECT_EQ(list.licenseAgreementId, -1);
    EXPECT_EQ(list.licenseAgreementIdMin, INT32_MIN);
    EXPECT_EQ(list.channels.at("stable").version_number, -5);
}

TEST(ParseVersions, SkipsFieldsOfLaterProtocolRevisions)
{
    QByteArray bytes;
    ASSERT_TRUE(vxtest::protocEncodeNext(QStringLiteral("VersionsNext"),
        "licenseAgreementId: 8 motd: \"hello\" flags: 7 "
        "recommended { name: \"x\" version_number: 1 version_string: \"y\" } "
        "channels { name: \"stable\" version_number: 31 version_string: \"3.1\" "
        "           download_page: \"http://x\" published_at: 99 published_at: 100 }",
        &bytes));
    VersionList list;
    ASSERT_EQ(parse(bytes, &list), PARSE_VERSIONS_OK);
    EXPECT_EQ(list.licenseAgreementId, 8);
    EXPECT_EQ(list.channelNames, std::vector<std::string>{ "stable" });
    EXPECT_EQ(list.channels.at("stable").version_number, 31);
    EXPECT_EQ(list.channels.at("stable").version_string, "3.1");
}

TEST(ParseVersions, RepeatedScalarKeepsLastValueAndChannelsAccumulate)
{
    // Concatenated messages merge: the second licenseAgreementId replaces the first.
    const QByteArray bytes =
        encode("licenseAgreementId: 1 channels { name: \"stable\" version_number: 1 version_string: \"a\" }")
        + encode("licenseAgreementId: 2 channels { name: \"beta\" version_number: 2 version_string: \"b\" }");
    VersionList list;
    ASSERT_EQ(parse(bytes, &list), PARSE_VERSIONS_OK);
    EXPECT_EQ(list.licenseAgreementId, 2);
    EXPECT_EQ(list.channelNames, (std::vector<std::string>{ "stable", "beta" }));
}

TEST(DefaultVersionsUrl, IsPlainHttpWithProtocolPath)
{
    std::string url;
    getDefaultVersionsUrl(&url);
    EXPECT_EQ(url.rfind("http://", 0), 0u) << url;
    EXPECT_GE(url.size(), 13u);
    EXPECT_EQ(url.substr(url.size() - 13), "/vx3-client-2") << url;
    EXPECT_EQ(url.find('?'), std::string::npos);

    const std::string saved = defaultVersionsUrl;
    defaultVersionsUrl = "http://127.0.0.1:1/vx3-client-2";
    getDefaultVersionsUrl(&url);
    EXPECT_EQ(url, "http://127.0.0.1:1/vx3-client-2");
    defaultVersionsUrl = saved;
}

TEST(ProtobufHelper, RuntimeAcceptsTheCompiledHeaders)
{
    protobufVerifyVersion(); // a refused version would end the process here
    VersionList list;
    EXPECT_EQ(parse(encode("licenseAgreementId: 3"), &list), PARSE_VERSIONS_OK);
}

#ifndef VXPATCH_TESTS_LZMAFILETESTSUPPORT_H
#define VXPATCH_TESTS_LZMAFILETESTSUPPORT_H

// Fixture and builders shared by the package container tests.
#include "lzmafile.h"

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "crc.h"
#include "encodedprogram.h"
#include "lzmaioout.h"
#include "patchlogcapture.h"
#include "testpaths.h"
#include "vxdiff.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace lzmafiletest {

using Bytes = std::vector<uint8_t>;

inline std::string Utf8(const QString& path)
{
    return path.toUtf8().toStdString();
}

inline Bytes ToBytes(const QByteArray& data)
{
    return Bytes(data.begin(), data.end());
}

inline Bytes ToBytes(const vxpatch::ByteSink& sink)
{
    return Bytes(sink.data(), sink.data() + sink.size());
}

inline QByteArray ToArray(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

// Reads the header of a container; the cursor then stands on the body.
struct ContainerHeader {
    uint32_t magic = 0;
    uint32_t crc = 0;
    uint32_t directive = 0;
};

inline ContainerHeader ReadHeader(const QByteArray& container, size_t* headerLength = nullptr)
{
    ContainerHeader header;
    vxpatch::ByteSource source(
        reinterpret_cast<const uint8_t*>(container.constData()), container.size());
    EXPECT_TRUE(source.ReadVarint32(&header.magic) && source.ReadVarint32(&header.crc) &&
        source.ReadVarint32(&header.directive));
    if (headerLength)
        *headerLength = source.current() - source.start();
    return header;
}

class LzmaFileTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }

    // Packs `input` and unpacks the container again; returns the container.
    QByteArray roundTrip(const QString& input, bool preprocess)
    {
        const QString packed = path("packed._lzma2_");
        const QString unpacked = path("unpacked");
        QFile::remove(packed);
        QFile::remove(unpacked);
        EXPECT_TRUE(vxpatch::PackLzmaFile(Utf8(input), Utf8(packed), preprocess));
        EXPECT_TRUE(vxpatch::UnpackLzmaFile(Utf8(packed), Utf8(unpacked)));
        EXPECT_TRUE(vxtest::readFile(unpacked) == vxtest::readFile(input));
        EXPECT_EQ(QFileInfo(unpacked).size(), QFileInfo(input).size());
        return vxtest::readFile(packed);
    }

    // Writes `container` and unpacks it, expecting failure with `message` and no output.
    void expectUnpackFails(const Bytes& container, const std::string& message)
    {
        SCOPED_TRACE(message);
        const QString input = path("bad._lzma2_");
        const QString output = path("bad.out");
        ASSERT_TRUE(vxtest::writeFile(input, ToArray(container)));
        PatchLogCapture capture;
        EXPECT_FALSE(vxpatch::UnpackLzmaFile(Utf8(input), Utf8(output)));
        EXPECT_TRUE(capture.contains(message))
            << (capture.messages.empty() ? "(nothing logged)" : capture.messages.back());
        EXPECT_FALSE(QFile::exists(output));
    }

    QTemporaryDir dir;
};

// A container built by hand: header fields and a body.
inline Bytes Container(uint32_t magic, uint32_t crc, uint32_t directive, const Bytes& body)
{
    vxpatch::ByteSink sink;
    sink.WriteVarint32(magic);
    sink.WriteVarint32(crc);
    sink.WriteVarint32(directive);
    sink.Write(body.data(), body.size());
    return ToBytes(sink);
}

inline Bytes Block(const Bytes& bytes)
{
    vxpatch::ByteSink sink;
    EXPECT_TRUE(vxpatch::CompressBufferLzma2(bytes.data(), bytes.size(), &sink));
    return ToBytes(sink);
}

// A stream set of `count` streams, filled by `fill`.
inline Bytes StreamSet(uint32_t count, const std::function<void(vxpatch::ByteSinkSet*)>& fill)
{
    vxpatch::ByteSinkSet set;
    set.SetCount(count);
    fill(&set);
    vxpatch::ByteSink sink;
    EXPECT_TRUE(set.CopyTo(&sink));
    return ToBytes(sink);
}

// An encoded program of literal bytes only, serialised as a nested stream set.
inline void WriteLiteralProgram(const Bytes& literal, vxpatch::ByteSink* stream)
{
    vxpatch::EncodedProgram program;
    ASSERT_TRUE(program.PushCopy(static_cast<uint32_t>(literal.size()), literal.data()));
    vxpatch::ByteSinkSet programSet;
    ASSERT_EQ(1u, vxpatch::EncodedProgramToSet(&program, &programSet));
    ASSERT_TRUE(programSet.CopyTo(stream));
}

inline Bytes RawDiff(const Bytes& oldBytes, const Bytes& newBytes)
{
    vxpatch::ByteSource oldSource(oldBytes.data(), oldBytes.size());
    vxpatch::ByteSource newSource(newBytes.data(), newBytes.size());
    vxpatch::ByteSink patch;
    EXPECT_TRUE(vxpatch::MakeVxdiffPatch(&oldSource, &newSource, &patch, false, 0));
    return ToBytes(patch);
}

inline QStringList CorpusFiles()
{
    QStringList files;
    QDirIterator it(vxtest::corpusDir(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (!file.endsWith("README.md") && !file.endsWith("SHA256SUMS"))
            files << file;
    }
    files.sort();
    return files;
}

} // namespace lzmafiletest

#endif // VXPATCH_TESTS_LZMAFILETESTSUPPORT_H

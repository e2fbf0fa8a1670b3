#include "versionstestsupport.h"

#include <QProcess>
#include <QStringList>

namespace vxtest {

namespace {
bool runProtoc(const QString& protoDir, const QString& protoFile, const QString& type,
               const QByteArray& text, QByteArray* out)
{
    out->clear();
    QProcess protoc;
    protoc.start(QStringLiteral(VX_PROTOC),
                 { QStringLiteral("--proto_path=") + protoDir,
                   QStringLiteral("--encode=com.voxmere.update.") + type, protoFile });
    if (!protoc.waitForStarted(10000))
        return false;
    protoc.write(text);
    protoc.closeWriteChannel();
    if (!protoc.waitForFinished(30000) || protoc.exitStatus() != QProcess::NormalExit
        || protoc.exitCode() != 0)
        return false;
    *out = protoc.readAllStandardOutput();
    return true;
}
} // namespace

bool protocEncode(const QString& type, const QByteArray& text, QByteArray* out)
{
    return runProtoc(QStringLiteral(VX_UPDATE_PROTO_DIR), QStringLiteral("UpdateMessage.proto"), type, text, out);
}

bool protocEncodeNext(const QString& type, const QByteArray& text, QByteArray* out)
{
    return runProtoc(QStringLiteral(VX_TEST_PROTO_DIR), QStringLiteral("UpdateMessageNext.proto"), type, text, out);
}

} // namespace vxtest

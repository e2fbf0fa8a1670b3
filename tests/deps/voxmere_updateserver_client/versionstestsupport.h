#ifndef VERSIONSTESTSUPPORT_H
#define VERSIONSTESTSUPPORT_H

#include <QByteArray>
#include <QString>

namespace vxtest {

// Encodes a text-format message with protoc (an encoder independent of the code under test)
// against the product's UpdateMessage.proto. `type` is the message name without package.
// Returns false and leaves `out` empty when protoc fails.
bool protocEncode(const QString& type, const QByteArray& text, QByteArray* out);

// The same against the test schema UpdateMessageNext.proto, a later revision of the protocol
// with fields the updater does not know.
bool protocEncodeNext(const QString& type, const QByteArray& text, QByteArray* out);

} // namespace vxtest

#endif // VERSIONSTESTSUPPORT_H

#include "protobufhelper.h"

#include <google/protobuf/stubs/common.h>

namespace {
// Oldest runtime the messages were ever built for.
constexpr int kMinLibraryVersion = 3000000;
}

void protobufVerifyVersion()
{
    // The runtime refuses headers older than itself, so the compiled-against version is passed.
    google::protobuf::internal::VerifyVersion(GOOGLE_PROTOBUF_VERSION, kMinLibraryVersion,
                                              "src/protobufhelper");
}

void protobufShutdown()
{
    google::protobuf::ShutdownProtobufLibrary();
}

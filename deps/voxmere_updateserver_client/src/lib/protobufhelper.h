#ifndef PROTOBUFHELPER_H
#define PROTOBUFHELPER_H

// Checks that the protocol-buffer runtime suits the headers this program was built with; a
// mismatch ends the process with the library's own fatal message. Called first thing in main.
void protobufVerifyVersion();

// Frees the protocol-buffer library's process-wide data. Called last thing in main.
void protobufShutdown();

#endif // PROTOBUFHELPER_H

#ifndef BUILTINPUBLICKEY_H
#define BUILTINPUBLICKEY_H

// The public key that every signature file is verified against: the DER of a PKCS #1
// RSAPublicKey. Its bytes come from the file named by the build setting VX_PUBLIC_KEY_DER,
// which defaults to the development key; a deployment builds with its own.
extern const unsigned char builtinPublicKey[];
extern const unsigned long builtinPublicKeyLength;

#endif // BUILTINPUBLICKEY_H

#pragma once

#include <string>

// The vendor's release signing key, Ed25519. The private half is kept as PKCS#8 DER on the build
// machine; the public half, 64 lowercase hex characters of the raw 32-byte key, is built into the
// updater and given to the service to check what it serves.
class ReleaseSigner
{
public:
    static constexpr int publicKeyHexLength = 64;
    static constexpr int signatureHexLength = 128;

    static ReleaseSigner generate();
    // An invalid signer when the bytes are not a usable Ed25519 private key.
    static ReleaseSigner fromPrivateKeyDer(const std::string &der);

    bool isValid() const { return !der.empty(); }
    const std::string &privateKeyDer() const { return der; }
    std::string publicKeyHex() const;

    // The signature over the exact bytes of the message, as lowercase hex.
    std::string sign(const std::string &message) const;
    // Upper- or lowercase hex for both the key and the signature; false on anything malformed.
    static bool verify(const std::string &publicKeyHex, const std::string &message,
                       const std::string &signatureHex);

private:
    std::string der;
};

#pragma once

#include <string>

// The update service's RSA key pair. The private half is kept as PKCS#8 DER, the form the service
// stores on disk; the public half is the hex text compiled into the updater.
class ServiceKeyPair
{
public:
    // A new RSA-1024 pair; its public half is exactly publicKeyHexLength characters long.
    static ServiceKeyPair generate();
    // An invalid pair when the bytes are not a usable RSA private key.
    static ServiceKeyPair fromPrivateKeyDer(const std::string &der);

    static constexpr int publicKeyHexLength = 320;

    bool isValid() const { return !der.empty(); }
    const std::string &privateKeyDer() const { return der; }
    std::string publicKeyHex() const;

    // Undoes encryptRsaOaepHex made with the public half; false when the text does not decrypt.
    bool decryptRsaOaepHex(const std::string &hexText, std::string *message) const;

private:
    std::string der;
};

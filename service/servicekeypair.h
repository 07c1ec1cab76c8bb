#pragma once

#include <string>

// The update service's RSA key pair. The private half is kept as PKCS#8 DER, the form the service
// stores on disk; the public half is the hex text compiled into the updater.
class ServiceKeyPair
{
public:
    // What keygen makes, what any key should have at least, and what still works, with a warning:
    // the demo pair's size.
    static constexpr int defaultBits = 3072;
    static constexpr int recommendedBits = 2048;
    static constexpr int minimumBits = 1024;
    static constexpr int maxBits = 16384;

    // A new pair with the public exponent 65537.
    static ServiceKeyPair generate(int bits = defaultBits);
    // An invalid pair when the bytes are not a usable RSA private key.
    static ServiceKeyPair fromPrivateKeyDer(const std::string &der);

    bool isValid() const { return !der.empty(); }
    // The modulus's size; 0 when invalid.
    int bits() const;
    const std::string &privateKeyDer() const { return der; }
    std::string publicKeyHex() const;

    // Undoes encryptRsaOaepHex made with the public half; false when the text does not decrypt.
    bool decryptRsaOaepHex(const std::string &hexText, std::string *message) const;

private:
    std::string der;
};

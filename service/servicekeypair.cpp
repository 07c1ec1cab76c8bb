#include "service/servicekeypair.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

namespace {

bool loadPrivateKey(const std::string &der, CryptoPP::RSA::PrivateKey *key)
{
    try {
        CryptoPP::StringSource source(der, true);
        key->Load(source);
        return true;
    } catch (const CryptoPP::Exception &) {
        return false;
    }
}

} // namespace

ServiceKeyPair ServiceKeyPair::generate(int bits)
{
    CryptoPP::AutoSeededRandomPool rng;
    ServiceKeyPair pair;
    CryptoPP::RSA::PrivateKey key;
    key.Initialize(rng, unsigned(bits), 65537);
    CryptoPP::StringSink sink(pair.der);
    key.Save(sink);
    return pair;
}

int ServiceKeyPair::bits() const
{
    CryptoPP::RSA::PrivateKey key;
    return isValid() && loadPrivateKey(der, &key) ? int(key.GetModulus().BitCount()) : 0;
}

ServiceKeyPair ServiceKeyPair::fromPrivateKeyDer(const std::string &der)
{
    CryptoPP::RSA::PrivateKey key;
    CryptoPP::AutoSeededRandomPool rng;
    ServiceKeyPair pair;
    if (loadPrivateKey(der, &key) && key.Validate(rng, 3))
        pair.der = der;
    return pair;
}

std::string ServiceKeyPair::publicKeyHex() const
{
    CryptoPP::RSA::PrivateKey key;
    if (!loadPrivateKey(der, &key))
        return {};
    std::string hex;
    CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(hex), true);
    CryptoPP::RSA::PublicKey(key).Save(encoder);
    encoder.MessageEnd();
    return hex;
}

bool ServiceKeyPair::decryptRsaOaepHex(const std::string &hexText, std::string *message) const
{
    CryptoPP::RSA::PrivateKey key;
    if (!loadPrivateKey(der, &key))
        return false;
    try {
        std::string cipherText;
        CryptoPP::StringSource(hexText, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(cipherText)));
        // Decoded per call: the service decrypts on several threads at once.
        CryptoPP::RSAES_OAEP_SHA_Decryptor decryptor(key);
        if (cipherText.size() != decryptor.FixedCiphertextLength())
            return false;
        CryptoPP::AutoSeededRandomPool rng;
        std::string plain(decryptor.MaxPlaintextLength(cipherText.size()), '\0');
        const CryptoPP::DecodingResult result = decryptor.Decrypt(
            rng, reinterpret_cast<const CryptoPP::byte *>(cipherText.data()), cipherText.size(),
            reinterpret_cast<CryptoPP::byte *>(plain.data()));
        if (!result.isValidCoding)
            return false;
        plain.resize(result.messageLength);
        *message = plain;
        return true;
    } catch (const CryptoPP::Exception &) {
        return false;
    }
}

#include "protocol/payloadcrypto.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <algorithm>
#include <cstring>

namespace {

// Both peers pad short key and IV texts with '0' and cut long ones, so any text keys AES-256.
CryptoPP::SecByteBlock shaped(const std::string &text, size_t size)
{
    CryptoPP::SecByteBlock block(size);
    std::memset(block, '0', size);
    std::memcpy(block, text.data(), std::min(text.size(), size));
    return block;
}

// The peers treat these texts as C strings: everything from the first NUL on is ignored.
std::string upToNul(const std::string &text)
{
    return text.substr(0, std::strlen(text.c_str()));
}

} // namespace

std::string makeRequestKey(int count)
{
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    // The key protects the login token, so it must not be guessable: draw from the OS.
    CryptoPP::NonblockingRng rng;
    std::string key;
    for (int i = 0; i < count; ++i)
        key += alphabet[rng.GenerateWord32(0, sizeof alphabet - 2)];
    return key;
}

std::string encryptAesCfbHex(std::string keyText, std::string ivText, const std::string &plainText)
{
    try {
        const CryptoPP::SecByteBlock key = shaped(keyText, CryptoPP::AES::MAX_KEYLENGTH);
        const CryptoPP::SecByteBlock iv = shaped(ivText, CryptoPP::AES::BLOCKSIZE);
        CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption cipher(key, key.size(), iv);
        std::string hex;
        CryptoPP::StringSource(upToNul(plainText), true,
            new CryptoPP::StreamTransformationFilter(cipher,
                new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), true)));
        return hex;
    } catch (const CryptoPP::Exception &) {
        return {};
    }
}

std::string decryptAesCfbHex(std::string keyText, std::string ivText, const std::string &hexText)
{
    try {
        const CryptoPP::SecByteBlock key = shaped(keyText, CryptoPP::AES::MAX_KEYLENGTH);
        const CryptoPP::SecByteBlock iv = shaped(ivText, CryptoPP::AES::BLOCKSIZE);
        CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption cipher(key, key.size(), iv);
        std::string plain;
        CryptoPP::StringSource(upToNul(hexText), true,
            new CryptoPP::HexDecoder(
                new CryptoPP::StreamTransformationFilter(cipher, new CryptoPP::StringSink(plain))));
        return plain;
    } catch (const CryptoPP::Exception &) {
        return {};
    }
}

std::string encryptRsaOaepHex(std::string publicKeyText, std::string entropyText, std::string message)
{
    try {
        std::string der;
        CryptoPP::StringSource(publicKeyText, true,
            new CryptoPP::HexDecoder(new CryptoPP::StringSink(der)));
        CryptoPP::StringSource derSource(der, true);
        CryptoPP::RSAES_OAEP_SHA_Encryptor encryptor(derSource);

        // OS randomness for the padding; the fixed entropy text is mixed in as the peers expect.
        CryptoPP::AutoSeededRandomPool rng;
        rng.IncorporateEntropy(reinterpret_cast<const CryptoPP::byte *>(entropyText.data()),
                               entropyText.size());
        if (!encryptor.GetKey().Validate(rng, 1))
            return {};

        std::string hex;
        CryptoPP::StringSource(message, true,
            new CryptoPP::PK_EncryptorFilter(rng, encryptor,
                new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), true)));
        return hex;
    } catch (const CryptoPP::Exception &) {
        return {};
    }
}

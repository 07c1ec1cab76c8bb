#include "service/releasesigner.h"

#include "protocol/payloadcrypto.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/xed25519.h>

#include <algorithm>
#include <cctype>

namespace {

std::string toHex(const CryptoPP::byte *bytes, size_t length)
{
    std::string hex;
    CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(hex), false);
    encoder.Put(bytes, length);
    encoder.MessageEnd();
    return hex;
}

// Exactly length bytes from hex digits, or an empty text.
std::string fromHex(const std::string &hex, size_t length)
{
    if (hex.size() != 2 * length
        || !std::all_of(hex.begin(), hex.end(), [](unsigned char c) { return std::isxdigit(c); }))
        return {};
    std::string bytes;
    CryptoPP::StringSource(hex, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(bytes)));
    return bytes;
}

bool loadSigner(const std::string &der, CryptoPP::ed25519::Signer *signer)
{
    try {
        CryptoPP::StringSource source(der, true);
        signer->AccessKey().Load(source);
        CryptoPP::AutoSeededRandomPool rng;
        return signer->GetKey().Validate(rng, 3);
    } catch (const CryptoPP::Exception &) {
        return false;
    }
}

const CryptoPP::ed25519PrivateKey &privateKey(const CryptoPP::ed25519::Signer &signer)
{
    return static_cast<const CryptoPP::ed25519PrivateKey &>(signer.GetKey());
}

} // namespace

ReleaseSigner ReleaseSigner::generate()
{
    CryptoPP::AutoSeededRandomPool rng;
    const CryptoPP::ed25519::Signer signer(rng);
    ReleaseSigner result;
    CryptoPP::StringSink sink(result.der);
    signer.GetKey().Save(sink);
    return result;
}

ReleaseSigner ReleaseSigner::fromPrivateKeyDer(const std::string &der)
{
    CryptoPP::ed25519::Signer signer;
    ReleaseSigner result;
    if (loadSigner(der, &signer))
        result.der = der;
    return result;
}

std::string ReleaseSigner::publicKeyHex() const
{
    CryptoPP::ed25519::Signer signer;
    if (!loadSigner(der, &signer))
        return {};
    return toHex(privateKey(signer).GetPublicKeyBytePtr(), CryptoPP::ed25519PrivateKey::PUBLIC_KEYLENGTH);
}

std::string ReleaseSigner::sign(const std::string &message) const
{
    CryptoPP::ed25519::Signer signer;
    if (!loadSigner(der, &signer))
        return {};
    CryptoPP::AutoSeededRandomPool rng;
    std::string signature(signer.MaxSignatureLength(), '\0');
    const size_t length = signer.SignMessage(rng, reinterpret_cast<const CryptoPP::byte *>(message.data()),
                                             message.size(),
                                             reinterpret_cast<CryptoPP::byte *>(signature.data()));
    return toHex(reinterpret_cast<const CryptoPP::byte *>(signature.data()), length);
}

bool ReleaseSigner::verify(const std::string &publicKeyHex, const std::string &message,
                           const std::string &signatureHex)
{
    const std::string key = fromHex(publicKeyHex, publicKeyHexLength / 2);
    const std::string signature = fromHex(signatureHex, signatureHexLength / 2);
    return verifyEd25519(key, message, signature);
}

#include "protocol/payloadcrypto.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/hmac.h>
#include <cryptopp/misc.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

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

// Hex by hand rather than through the library's filters, which pass a reply of thousands of files
// on byte by byte: a tenth of a second of the run. Decoding reads as the peers do: characters that
// are not hex digits are skipped, a last lone digit is dropped.
std::string upperHex(const CryptoPP::byte *data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string hex(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        hex[2 * i] = digits[data[i] >> 4];
        hex[2 * i + 1] = digits[data[i] & 0xf];
    }
    return hex;
}

std::string bytesOfHex(std::string_view hex)
{
    static const std::array<signed char, 256> values = [] {
        std::array<signed char, 256> table;
        table.fill(-1);
        for (int i = 0; i < 10; ++i)
            table['0' + i] = char(i);
        for (int i = 0; i < 6; ++i)
            table['a' + i] = table['A' + i] = char(10 + i);
        return table;
    }();
    std::string bytes(hex.size() / 2, '\0');
    size_t made = 0;
    int high = -1;
    for (const char c : hex) {
        const int value = values[static_cast<unsigned char>(c)];
        if (value < 0)
            continue;
        if (high < 0) {
            high = value;
        } else {
            bytes[made++] = char(high << 4 | value);
            high = -1;
        }
    }
    bytes.resize(made);
    return bytes;
}

size_t afterBlanks(const std::string &text, size_t at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
        ++at;
    return at;
}

// Whether a string of exactly the MAC's hex digits opens at `at`.
bool isMacValue(const std::string &text, size_t at)
{
    if (text.size() <= at + replyMacHexLength + 1 || text[at] != '"' || text[at + replyMacHexLength + 1] != '"')
        return false;
    return std::all_of(text.begin() + at + 1, text.begin() + at + 1 + replyMacHexLength,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// Whether the key whose opening quote is at `key` is a member of the reply object itself. The text
// before it is walked token by token: a string is skipped whole, escapes included, so a quote inside
// one opens nothing, and the nesting is counted, so a member of an inner value is not the reply's.
bool isReplyMember(const std::string &text, size_t key)
{
    const size_t first = afterBlanks(text, 0);
    if (first >= text.size() || text[first] != '{')
        return false;
    int depth = 0;
    int topValues = 0; // a value after the reply's object is not the reply
    size_t at = 0;
    for (; at < key; ++at) {
        const char c = text[at];
        if (c == '{' || c == '[') {
            if (depth++ == 0)
                ++topValues;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            ++at;
            while (at < key && text[at] != '"')
                at += text[at] == '\\' ? 2 : 1;
        }
    }
    return at == key && depth == 1 && topValues == 1;
}

// Where the MAC member's 64 hex digits start; npos when no key names the member (present false),
// or when one does but it is not the only one, not a member of the reply object itself, or not a
// string of 64 hex digits (present true). The keys are found in the bytes as they are, the name in
// quotes before a colon, which a string value cannot hold unescaped: a reply garbled on the way,
// its quotes no longer paired, then still holds the member and fails instead of reading as a
// reply without one.
size_t macValueAt(const std::string &text, bool *present)
{
    const std::string name = std::string("\"") + replyMacMember + "\"";
    size_t key = std::string::npos;
    size_t colon = 0;
    int keys = 0;
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const size_t after = afterBlanks(text, at + name.size());
        if (after < text.size() && text[after] == ':') {
            key = at;
            colon = after;
            ++keys;
        }
    }
    *present = keys > 0;
    if (keys != 1 || !isReplyMember(text, key))
        return std::string::npos;
    const size_t open = afterBlanks(text, colon + 1);
    return isMacValue(text, open) ? open + 1 : std::string::npos;
}

// The MAC in lowercase hex over text with the member's value as zeros; empty if Crypto++ fails.
std::string replyMacOf(const std::string &keyText, std::string text, size_t value)
{
    text.replace(value, replyMacHexLength, replyMacHexLength, '0');
    try {
        CryptoPP::HMAC<CryptoPP::SHA256> hmac(reinterpret_cast<const CryptoPP::byte *>(keyText.data()),
                                              keyText.size());
        std::string hex;
        CryptoPP::StringSource(text, true,
            new CryptoPP::HashFilter(hmac, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false)));
        return hex;
    } catch (const CryptoPP::Exception &) {
        return {};
    }
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
        const std::string plain = upToNul(plainText);
        CryptoPP::SecByteBlock sealed(plain.size());
        cipher.ProcessData(sealed, reinterpret_cast<const CryptoPP::byte *>(plain.data()), plain.size());
        return upperHex(sealed, sealed.size());
    } catch (const CryptoPP::Exception &) {
        return {};
    }
}

std::string decryptAesCfbHex(std::string keyText, std::string ivText, std::string_view hexText)
{
    try {
        const CryptoPP::SecByteBlock key = shaped(keyText, CryptoPP::AES::MAX_KEYLENGTH);
        const CryptoPP::SecByteBlock iv = shaped(ivText, CryptoPP::AES::BLOCKSIZE);
        CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption cipher(key, key.size(), iv);
        // Read in place, up to a NUL as the peers read it: a reply of thousands of files is megabytes.
        std::string plain = bytesOfHex(hexText.substr(0, hexText.find('\0')));
        cipher.ProcessString(reinterpret_cast<CryptoPP::byte *>(&plain[0]), plain.size());
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

std::string sealReplyMac(const std::string &keyText, const std::string &plainText)
{
    bool present = false;
    const size_t value = macValueAt(plainText, &present);
    if (value == std::string::npos
        || plainText.compare(value, replyMacHexLength, std::string(replyMacHexLength, '0')) != 0)
        return {};
    const std::string hex = replyMacOf(keyText, plainText, value);
    if (hex.size() != size_t(replyMacHexLength))
        return {};
    std::string sealed = plainText;
    sealed.replace(value, replyMacHexLength, hex);
    return sealed;
}

ReplyMac checkReplyMac(const std::string &keyText, const std::string &plainText)
{
    bool present = false;
    const size_t value = macValueAt(plainText, &present);
    if (value == std::string::npos)
        return present ? ReplyMac::Invalid : ReplyMac::Absent;
    std::string sent = plainText.substr(value, replyMacHexLength);
    for (char &digit : sent)
        digit = char(std::tolower(static_cast<unsigned char>(digit)));
    const std::string expected = replyMacOf(keyText, plainText, value);
    // In constant time, so that the time taken does not tell how much of a guess was right.
    const bool equal = sent.size() == expected.size()
        && CryptoPP::VerifyBufsEqual(reinterpret_cast<const CryptoPP::byte *>(sent.data()),
                                     reinterpret_cast<const CryptoPP::byte *>(expected.data()), sent.size());
    return equal ? ReplyMac::Valid : ReplyMac::Invalid;
}

bool verifyEd25519(const std::string &publicKey, const std::string &message, const std::string &signature)
{
    if (publicKey.size() != CryptoPP::ed25519Verifier::PUBLIC_KEYLENGTH
        || signature.size() != CryptoPP::ed25519Verifier::SIGNATURE_LENGTH)
        return false;
    try {
        const CryptoPP::ed25519Verifier verifier(reinterpret_cast<const CryptoPP::byte *>(publicKey.data()));
        return verifier.VerifyMessage(reinterpret_cast<const CryptoPP::byte *>(message.data()), message.size(),
                                      reinterpret_cast<const CryptoPP::byte *>(signature.data()),
                                      signature.size());
    } catch (const CryptoPP::Exception &) {
        return false;
    }
}

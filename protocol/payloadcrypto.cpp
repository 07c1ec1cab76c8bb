#include "protocol/payloadcrypto.h"

std::string makeRequestKey(int count)
{
    return std::string(count, '0');
}

std::string encryptAesCfbHex(std::string keyText, std::string ivText, const std::string &plainText)
{
    (void)keyText; (void)ivText; (void)plainText;
    return {};
}

std::string decryptAesCfbHex(std::string keyText, std::string ivText, const std::string &hexText)
{
    (void)keyText; (void)ivText; (void)hexText;
    return {};
}

std::string encryptRsaOaepHex(std::string publicKeyText, std::string entropyText, std::string message)
{
    (void)publicKeyText; (void)entropyText; (void)message;
    return {};
}

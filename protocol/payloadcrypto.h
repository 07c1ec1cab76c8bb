#pragma once

#include <string>

// Fixed texts shared with the update service.
constexpr const char *requestIvText = "918273645546372";
constexpr const char *rsaEntropyText = "loam";

std::string makeRequestKey(int count);
std::string encryptAesCfbHex(std::string keyText, std::string ivText, const std::string &plainText);
std::string decryptAesCfbHex(std::string keyText, std::string ivText, const std::string &hexText);
std::string encryptRsaOaepHex(std::string publicKeyText, std::string entropyText, std::string message);

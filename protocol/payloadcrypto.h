#pragma once

#include <string>
#include <string_view>

// Fixed texts shared with the update service.
constexpr const char *requestIvText = "918273645546372";
constexpr const char *rsaEntropyText = "loam";
// The longest reply body an updater takes, as received; the service refuses to publish more.
constexpr long long maxReplyBodyBytes = 64LL * 1024 * 1024;

std::string makeRequestKey(int count);
std::string encryptAesCfbHex(std::string keyText, std::string ivText, const std::string &plainText);
std::string decryptAesCfbHex(std::string keyText, std::string ivText, std::string_view hexText);
std::string encryptRsaOaepHex(std::string publicKeyText, std::string entropyText, std::string message);

// The reply's authenticating member: HMAC-SHA256 under the request key's bytes, in lowercase hex,
// over the reply's JSON text as encrypted with this member's value written as 64 '0's. Flipped
// ciphertext bits then change the text the MAC was made over, so they cannot steer the updater.
constexpr const char *replyMacMember = "reply_mac";
constexpr int replyMacHexLength = 64;

enum class ReplyMac { Absent, Valid, Invalid };

// The JSON text with the member's zeros replaced by its MAC; empty when the text does not hold the
// member, with a zero value, exactly once and in the reply object itself. Blanks around its colon
// are JSON's own, so a reply printed with them is sealed and checked alike.
std::string sealReplyMac(const std::string &keyText, const std::string &plainText);
// A key naming the member more than once or inside a nested value, or a value that is not a string
// of 64 hex digits, is Invalid.
ReplyMac checkReplyMac(const std::string &keyText, const std::string &plainText);

// Whether signature (64 raw bytes) is the Ed25519 signature of message under publicKey (32 raw
// bytes); false on anything malformed. The updater and the service verify release listings alike.
bool verifyEd25519(const std::string &publicKey, const std::string &message, const std::string &signature);

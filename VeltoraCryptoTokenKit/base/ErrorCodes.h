#pragma once

#include <cstdint>
#include <string_view>

// Every error domain of the system and its named codes. Codes that another
// library names keep its names: CURLcode ("libcurl"), CK_RV ("PKCS#11") and
// errno values ("NSPOSIXErrorDomain", "TokenStore").
namespace veltora::errors {

// The configuration record's JSON decoding.
namespace config {
inline constexpr std::string_view kDecodingDomain = "ConfigurationDecoding";
inline constexpr std::int64_t kNotJson = 1;
inline constexpr std::int64_t kNotAnObject = 2;
inline constexpr std::int64_t kMissingTimeouts = 3;
inline constexpr std::int64_t kWrongType = 4;
inline constexpr std::int64_t kNumberOutOfRange = 5;
} // namespace config

// The service's API.
namespace client {
inline constexpr std::string_view kDomain = "VeltoraClient";
inline constexpr std::int64_t kInvalidUrl = 1001;
inline constexpr std::int64_t kPayloadEncoding = 1002;
inline constexpr std::int64_t kJsonParsing = 1003;
inline constexpr std::int64_t kOrganizationIdMissing = 1005;
} // namespace client

// The HTTP client: an HTTP status of a failed request, or one of its own codes.
namespace http {
inline constexpr std::string_view kDomain = "RetryableHttpClient";
inline constexpr std::int64_t kInvalidResponse = 1006;
inline constexpr std::int64_t kRetriesExhausted = 1007;
inline constexpr std::int64_t kUnauthorized = 401;
inline constexpr std::int64_t kForbidden = 403;
inline constexpr std::int64_t kNotFound = 404;
inline constexpr std::int64_t kFirstServerError = 500;
inline constexpr std::int64_t kLastServerError = 599;
} // namespace http

// The network layer below the HTTP client.
namespace transport {
inline constexpr std::string_view kLibcurlDomain = "libcurl";
inline constexpr std::string_view kCancellationDomain = "Cancellation";
inline constexpr std::int64_t kCancelled = 1;
} // namespace transport

// Files and directories: the code is the errno value.
namespace posix {
inline constexpr std::string_view kDomain = "NSPOSIXErrorDomain";
} // namespace posix

// The token extension.
namespace token {
// The token framework's own domain.
inline constexpr std::string_view kFrameworkDomain = "TKErrorDomain";
inline constexpr std::int64_t kAuthenticationNeeded = -9;
// Certificates and keys of the registration store.
inline constexpr std::string_view kKeychainItemDomain = "TKTokenKeychainItem";
inline constexpr std::int64_t kNotACertificate = 1;
inline constexpr std::int64_t kNotAnRsaKey = 2;
inline constexpr std::int64_t kNoCommonName = 3;
// The registration store: the code is the errno value.
inline constexpr std::string_view kTokenStoreDomain = "TokenStore";
// Sign requests that cannot be sent (codes: QuilletErrorCode).
inline constexpr std::string_view kQuilletDomain = "Quillet";
// The PKCS#11 module: the code is the CK_RV.
inline constexpr std::string_view kPkcs11Domain = "PKCS#11";
} // namespace token

// The PKCS#11 server for short-lived signers.
namespace server {
inline constexpr std::string_view kDomain = "quillet-pkcs11-server";
inline constexpr std::int64_t kUsage = 1;
inline constexpr std::int64_t kSocket = 2;
inline constexpr std::int64_t kModule = 3;
} // namespace server

} // namespace veltora::errors

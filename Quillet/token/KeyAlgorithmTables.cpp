#include "Quillet/token/KeyAlgorithmTables.h"

#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <array>

namespace quillet {

namespace {

// In the order they are tested: the first match wins.
constexpr std::array<SecKeyAlgorithm, 3> knownAlgorithms = {
    kSecKeyAlgorithmRSASignatureRaw,
    kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256,
    kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1,
};

std::optional<SecKeyAlgorithm> knownAlgorithm(const TKTokenKeyAlgorithm& algorithm) {
    for (const SecKeyAlgorithm known : knownAlgorithms) {
        if (algorithm.isAlgorithm(known)) {
            return known;
        }
    }
    return std::nullopt;
}

} // namespace

std::string_view getOperationString(TKTokenOperation operation) {
    switch (operation) {
    case TKTokenOperationNone:
        return "TKTokenOperationNone";
    case TKTokenOperationReadData:
        return "TKTokenOperationReadData";
    case TKTokenOperationSignData:
        return "TKTokenOperationSignData";
    case TKTokenOperationDecryptData:
        return "TKTokenOperationDecryptData";
    case TKTokenOperationPerformKeyExchange:
        return "TKTokenOperationPerformKeyExchange";
    default:
        return "Unknown TKTokenOperation";
    }
}

std::string_view GetAlgorithmStringFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm) {
    const auto known = knownAlgorithm(algorithm);
    if (!known) {
        return "unknown";
    }
    if (*known == kSecKeyAlgorithmRSASignatureRaw) {
        return "kSecKeyAlgorithmRSASignatureRaw";
    }
    if (*known == kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256) {
        return "kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256";
    }
    return "kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1";
}

std::optional<SecKeyAlgorithm> GetAlgorithmFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm) {
    const auto known = knownAlgorithm(algorithm);
    if (!known) {
        DDLogWarn("Unrecognized algorithm passed to GetAlgorithmFromTKTokenKeyAlgorithm: " +
                  algorithm.description());
    }
    return known;
}

std::optional<std::string_view> GetAlgorithmOidFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm) {
    if (algorithm.isAlgorithm(kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256)) {
        return "2.16.840.1.101.3.4.2.1";
    }
    if (algorithm.isAlgorithm(kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1)) {
        return "1.3.14.3.2.26";
    }
    DDLogWarn("Unrecognized algorithm passed to GetAlgorithmOidFromTKTokenKeyAlgorithm: " +
              algorithm.description());
    return std::nullopt;
}

} // namespace quillet

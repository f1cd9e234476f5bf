#include "Quillet/token/KeyAlgorithmTables.h"

#include "Quillet/token/SigningAlgorithms.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

namespace quillet {

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
    const SigningAlgorithm* known = signingAlgorithmOf(algorithm);
    return known != nullptr ? known->name : "unknown";
}

std::optional<SecKeyAlgorithm> GetAlgorithmFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm) {
    if (const SigningAlgorithm* known = signingAlgorithmOf(algorithm)) {
        return known->constant;
    }
    DDLogWarn("Unrecognized algorithm passed to GetAlgorithmFromTKTokenKeyAlgorithm: " +
              algorithm.description());
    return std::nullopt;
}

std::optional<std::string_view> GetAlgorithmOidFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm) {
    if (const SigningAlgorithm* known = signingAlgorithmOf(algorithm);
        known != nullptr && !known->oid.empty()) {
        return known->oid;
    }
    DDLogWarn("Unrecognized algorithm passed to GetAlgorithmOidFromTKTokenKeyAlgorithm: " +
              algorithm.description());
    return std::nullopt;
}

} // namespace quillet

#pragma once

#include "VeltoraCryptoTokenKit/base/Error.h"

#include <cstdint>
#include <string>

namespace quillet {

// Why a sign request could not even be sent: the registration it needs is
// missing or unusable, or the service's answer makes no signature.
inline constexpr const char* kQuilletErrorDomain = veltora::errors::token::kQuilletDomain.data();

enum class QuilletErrorCode : std::int64_t {
    keyObjectIDNotString = 1,
    noDriverConfiguration = 2,
    noTokenConfiguration = 3,
    noConfigurationData = 4,
    configurationDataNotDecodable = 5,
    apiUrlMissing = 6,
    organizationIdMissing = 7,
    apiTokenMissing = 8,
    algorithmWithoutOid = 9,
    emptySignature = 10,
    workerNotStarted = 11,
    unexpectedFailure = 12,
};

inline veltora::Error quilletError(QuilletErrorCode code, std::string description) {
    return veltora::Error{kQuilletErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

} // namespace quillet

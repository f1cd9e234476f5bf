#include "Quillet/token/TokenSession.h"

#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/TKError.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "Quillet/token/CountingSemaphore.h"
#include "Quillet/token/KeyAlgorithmTables.h"
#include "Quillet/token/PlainHttpWarning.h"
#include "Quillet/token/QuilletError.h"
#include "Quillet/token/SigningWorkers.h"
#include "Quillet/token/Token.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <cstdio>
#include <exception>

namespace quillet {

namespace {

using veltora::Result;

std::string keyObjectIDText(const KeyObjectID& keyObjectID) {
    return keyObjectID.value_or("none");
}

std::string algorithmConstantText(const TKTokenKeyAlgorithm& algorithm) {
    const auto constant = GetAlgorithmFromTKTokenKeyAlgorithm(algorithm);
    return constant ? std::string(*constant) : "none";
}

veltora::Error authenticationRequired() {
    return veltora::Error{TKErrorDomain, TKErrorCodeAuthenticationNeeded, "Authentication required!"};
}

} // namespace

TokenSession::TokenSession(std::shared_ptr<Token> token) : token_(std::move(token)) {}

std::string TokenSession::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<TokenSession: ") + address + "; token: " + (token_ ? token_->instanceID() : "none") +
           ">";
}

bool TokenSession::supports(TKTokenOperation operation, const KeyObjectID& keyObjectID,
                            const TKTokenKeyAlgorithm& algorithm) {
    veltora::VeltoraLogFactory::setupLogging();
    DDLogVerbose("TokenSession supportsOperation");
    DDLogVerbose("operation: " + std::string(getOperationString(operation)));
    DDLogVerbose("keyObjectID: " + keyObjectIDText(keyObjectID));
    DDLogVerbose("algorithm: " + std::string(GetAlgorithmStringFromTKTokenKeyAlgorithm(algorithm)));
    // The answer depends on the algorithm alone: every key signs digests the caller has already made.
    const std::string_view name = GetAlgorithmStringFromTKTokenKeyAlgorithm(algorithm);
    return name == "kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256" ||
           name == "kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1";
}

Result<std::vector<std::uint8_t>> TokenSession::signData(std::span<const std::uint8_t> dataToSign,
                                                         const KeyObjectID& keyObjectID,
                                                         const TKTokenKeyAlgorithm& algorithm) {
    try {
        return sign(dataToSign, keyObjectID, algorithm);
    } catch (const std::exception& exception) {
        // Out of memory and the like: the application that loaded us must go on running.
        auto error = quilletError(QuilletErrorCode::unexpectedFailure,
                                  std::string("Signing failed unexpectedly: ") + exception.what());
        DDLogError("An error occurred in tokenSession: " + error.localizedDescription());
        return error;
    }
}

Result<std::vector<std::uint8_t>> TokenSession::sign(std::span<const std::uint8_t> dataToSign,
                                                     const KeyObjectID& keyObjectID,
                                                     const TKTokenKeyAlgorithm& algorithm) {
    veltora::VeltoraLogFactory::setupLogging();
    DDLogInfo("TokenSession signData");
    DDLogVerbose("Raw Data: " + base64Encoded(dataToSign));
    DDLogVerbose("dataToSign: " + hexDescription(dataToSign));
    DDLogVerbose("keyObjectID: " + keyObjectIDText(keyObjectID));
    DDLogVerbose("algorithm: " + algorithmConstantText(algorithm));

    const auto algorithmOid = GetAlgorithmOidFromTKTokenKeyAlgorithm(algorithm);
    auto signature = [&]() -> Result<std::vector<std::uint8_t>> {
        if (!algorithmOid) {
            return quilletError(QuilletErrorCode::algorithmWithoutOid,
                                "The algorithm " + algorithm.description() +
                                    " has no hash algorithm OID to sign with.");
        }
        const auto answer = sendSigningRequest(dataToSign, keyObjectID, *algorithmOid);
        if (!answer) {
            return answer.error();
        }
        auto decoded = base64DecodedIgnoringUnknownCharacters(answer.value());
        if (!decoded) {
            return authenticationRequired();
        }
        if (decoded->empty()) {
            // No RSA signature is empty; passing one on would report a failure as success.
            return quilletError(QuilletErrorCode::emptySignature, "The service returned an empty signature.");
        }
        return std::move(*decoded);
    }();
    if (!signature) {
        DDLogError("An error occurred in tokenSession: " + signature.error().localizedDescription());
        return signature;
    }
    DDLogInfo("TokenSession successfully signed data with signature from Veltora");
    return signature;
}

Result<veltora::Configuration> TokenSession::getTokenConfiguration(const KeyObjectID& keyObjectID) {
    if (!keyObjectID) {
        return quilletError(QuilletErrorCode::keyObjectIDNotString, "The key object ID is not a string.");
    }
    const auto driverConfigurations = TKTokenDriverConfiguration::driverConfigurations();
    if (driverConfigurations.empty()) {
        return quilletError(QuilletErrorCode::noDriverConfiguration,
                            "No token driver configuration is visible.");
    }
    // The last driver visited: there is only ever the one of this module.
    const auto registration = driverConfigurations.rbegin()->second->tokenConfiguration(*keyObjectID);
    if (!registration) {
        return quilletError(QuilletErrorCode::noTokenConfiguration,
                            "No token is registered for the key object ID " + *keyObjectID + ".");
    }
    if (!registration->configurationData()) {
        return quilletError(QuilletErrorCode::noConfigurationData,
                            "The token registered for " + *keyObjectID + " has no configuration data.");
    }
    auto configuration = registration->decodedConfiguration();
    if (!configuration) {
        DDLogError("Error parsing JSON token configuration: " + configuration.error().localizedDescription());
        return quilletError(QuilletErrorCode::configurationDataNotDecodable,
                            "The configuration data of the token registered for " + *keyObjectID +
                                " cannot be decoded: " + configuration.error().localizedDescription());
    }
    return configuration;
}

Result<std::string> TokenSession::sendSigningRequest(std::span<const std::uint8_t> dataToSign,
                                                     const KeyObjectID& keyObjectID,
                                                     std::string_view algorithmOid) {
    const auto configuration = getTokenConfiguration(keyObjectID);
    if (!configuration) {
        return configuration.error();
    }
    const veltora::Configuration& record = configuration.value();
    std::string dataToSignBase64 = base64Encoded(dataToSign);
    if (!record.apiUrl) {
        return quilletError(QuilletErrorCode::apiUrlMissing, "The api url is missing");
    }
    warnOfPlainHttp(*record.apiUrl);
    if (!record.organizationId) {
        return quilletError(QuilletErrorCode::organizationIdMissing, "The organization id is missing");
    }
    if (!record.apiToken) {
        return quilletError(QuilletErrorCode::apiTokenMissing, "The api token is missing");
    }
    auto client = std::make_shared<const veltora::VeltoraClient>(*record.apiUrl, *record.organizationId,
                                                                 *record.apiToken, record.timeouts);
    std::string signingPolicyId = *keyObjectID;
    DDLogInfo("Sending signing request for signing policy id: " + signingPolicyId + " and config " +
              record.description());

    auto capture = std::make_shared<StringCapture>();
    auto semaphore = std::make_shared<CountingSemaphore>(0);
    const bool started = SigningWorkers::run(
        [client, capture, semaphore, dataToSignBase64 = std::move(dataToSignBase64),
         signingPolicyId = std::move(signingPolicyId), algorithmOid = std::string(algorithmOid)] {
            try {
                auto signature = client->sendSigningRequest(dataToSignBase64, signingPolicyId, algorithmOid);
                if (signature) {
                    capture->value = std::move(signature).value();
                } else {
                    capture->error = signature.error();
                }
            } catch (const std::exception& exception) {
                capture->error = quilletError(QuilletErrorCode::unexpectedFailure,
                                              std::string("The signing request failed: ") + exception.what());
            } catch (...) {
                capture->error =
                    quilletError(QuilletErrorCode::unexpectedFailure, "The signing request failed.");
            }
            semaphore->release();
        });
    if (!started) {
        return quilletError(QuilletErrorCode::workerNotStarted, "The signing request could not be started.");
    }
    // No limit of our own: the client's timeouts and retries bound the wait.
    semaphore->acquire();
    if (capture->error) {
        return *capture->error;
    }
    return std::move(capture->value);
}

TKTokenPasswordAuthOperation TokenSession::beginAuthFor(TKTokenOperation /*operation*/,
                                                        const std::any& /*constraint*/) {
    veltora::VeltoraLogFactory::setupLogging();
    DDLogVerbose("tokenSession");
    return TKTokenPasswordAuthOperation{};
}

} // namespace quillet

#pragma once

#include "Quillet/platform/TKTokenKeyAlgorithm.h"
#include "Quillet/platform/TKTokenOperation.h"
#include "Quillet/platform/TKTokenPasswordAuthOperation.h"
#include "Quillet/token/KeyObjectID.h"
#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

class Token;

// Answers a client's key questions; signs by asking the service.
class TokenSession {
public:
    explicit TokenSession(std::shared_ptr<Token> token);

    bool supports(TKTokenOperation operation, const KeyObjectID& keyObjectID,
                  const TKTokenKeyAlgorithm& algorithm);
    // Blocks the calling thread until the service has answered.
    veltora::Result<std::vector<std::uint8_t>> signData(std::span<const std::uint8_t> dataToSign,
                                                        const KeyObjectID& keyObjectID,
                                                        const TKTokenKeyAlgorithm& algorithm);
    TKTokenPasswordAuthOperation beginAuthFor(TKTokenOperation operation, const std::any& constraint);

    const std::shared_ptr<Token>& token() const { return token_; }
    std::string description() const;

private:
    // The service's answer, handed from the worker to the waiting caller.
    class StringCapture {
    public:
        std::string value;
        std::optional<veltora::Error> error;
    };

    // Looked up afresh on every request: a re-registered token signs with its new data at once. The
    // data of a registration read before is not decoded again.
    static veltora::Result<veltora::Configuration> getTokenConfiguration(const KeyObjectID& keyObjectID);
    // The signature as the service returns it (Base64).
    static veltora::Result<std::string> sendSigningRequest(std::span<const std::uint8_t> dataToSign,
                                                           const KeyObjectID& keyObjectID,
                                                           std::string_view algorithmOid);
    veltora::Result<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> dataToSign,
                                                    const KeyObjectID& keyObjectID,
                                                    const TKTokenKeyAlgorithm& algorithm);

    std::shared_ptr<Token> token_;
};

} // namespace quillet

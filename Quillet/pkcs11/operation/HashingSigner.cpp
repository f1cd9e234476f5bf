#include "Quillet/pkcs11/operation/HashingSigner.h"

namespace quillet {

veltora::Result<std::unique_ptr<Signer>> HashingSigner::make(const SigningAlgorithm& algorithm,
                                                             SigningKey key) {
    VELTORA_ASSIGN_OR_RETURN(auto digest, LocalDigest::make(algorithm));
    return std::unique_ptr<Signer>(new HashingSigner(std::move(digest), std::move(key)));
}

veltora::Result<std::vector<std::uint8_t>> HashingSigner::sign(std::span<const std::uint8_t> data) {
    VELTORA_RETURN_IF_ERROR(update(data));
    return signFinal();
}

veltora::Result<void> HashingSigner::update(std::span<const std::uint8_t> part) {
    return digest_.update(part);
}

veltora::Result<std::vector<std::uint8_t>> HashingSigner::signFinal() {
    VELTORA_ASSIGN_OR_RETURN(const auto digest, digest_.finish());
    return key_.signDigest(digest, digest_.algorithm());
}

} // namespace quillet

#include "Quillet/pkcs11/operation/HashingSigner.h"

namespace quillet {

veltora::Result<std::unique_ptr<Signer>> HashingSigner::make(LocalDigest::Hash hash, SigningKey key) {
    auto digest = LocalDigest::make(hash);
    if (!digest) {
        return digest.error();
    }
    return std::unique_ptr<Signer>(new HashingSigner(std::move(digest).value(), std::move(key)));
}

veltora::Result<std::vector<std::uint8_t>> HashingSigner::sign(std::span<const std::uint8_t> data) {
    if (auto taken = update(data); !taken) {
        return taken.error();
    }
    return signFinal();
}

veltora::Result<void> HashingSigner::update(std::span<const std::uint8_t> part) {
    return digest_.update(part);
}

veltora::Result<std::vector<std::uint8_t>> HashingSigner::signFinal() {
    auto digest = digest_.finish();
    if (!digest) {
        return digest.error();
    }
    return key_.signDigest(digest.value(), digest_.algorithm());
}

} // namespace quillet

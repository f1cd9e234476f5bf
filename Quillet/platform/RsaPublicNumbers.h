#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

typedef struct bignum_st BIGNUM;
typedef struct bn_mont_ctx_st BN_MONT_CTX;

namespace quillet {

// An RSA public key's modulus and exponent as OpenSSL numbers, with the
// Montgomery context of the modulus. Setting these up costs more than the
// exponentiation itself, and every signature is checked, so a signing key
// keeps them. Never changed once made: any number of threads may raise at once.
class RsaPublicNumbers {
public:
    // Nothing when OpenSSL cannot hold the numbers or the modulus is not odd.
    static std::optional<RsaPublicNumbers> make(std::span<const std::uint8_t> modulus,
                                                        std::span<const std::uint8_t> exponent);

    // The input raised to the exponent, modulo the modulus, as many bytes long
    // as `length`; empty when the input is not a number below the modulus or
    // OpenSSL fails.
    std::vector<std::uint8_t> raise(std::span<const std::uint8_t> input, std::size_t length) const;

private:
    struct Free {
        void operator()(BIGNUM* number) const;
        void operator()(BN_MONT_CTX* context) const;
    };

    RsaPublicNumbers() = default;

    std::unique_ptr<BIGNUM, Free> modulus_, exponent_;
    std::unique_ptr<BN_MONT_CTX, Free> montgomery_;
};

} // namespace quillet

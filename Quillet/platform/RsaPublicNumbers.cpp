#include "Quillet/platform/RsaPublicNumbers.h"

#include "Quillet/platform/CryptoContext.h"

#include <openssl/bn.h>

namespace quillet {

void RsaPublicNumbers::Free::operator()(BIGNUM* number) const {
    BN_free(number);
}

void RsaPublicNumbers::Free::operator()(BN_MONT_CTX* context) const {
    BN_MONT_CTX_free(context);
}

std::optional<RsaPublicNumbers> RsaPublicNumbers::make(std::span<const std::uint8_t> modulus,
                                                       std::span<const std::uint8_t> exponent) {
    RsaPublicNumbers numbers;
    numbers.modulus_.reset(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    numbers.exponent_.reset(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    numbers.montgomery_.reset(BN_MONT_CTX_new());
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new_ex(CryptoContext::get()),
                                                                  BN_CTX_free);
    // Montgomery multiplication needs an odd modulus; an RSA modulus always is.
    const bool made = numbers.modulus_ && numbers.exponent_ && numbers.montgomery_ && context &&
                      BN_is_odd(numbers.modulus_.get()) &&
                      BN_MONT_CTX_set(numbers.montgomery_.get(), numbers.modulus_.get(), context.get()) == 1;
    return made ? std::optional(std::move(numbers)) : std::nullopt;
}

std::vector<std::uint8_t> RsaPublicNumbers::raise(std::span<const std::uint8_t> input,
                                                  std::size_t length) const {
    // The context holds temporaries: one per call, so that threads never share it.
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new_ex(CryptoContext::get()),
                                                                  BN_CTX_free);
    const std::unique_ptr<BIGNUM, Free> value(
        BN_bin2bn(input.data(), static_cast<int>(input.size()), nullptr));
    const std::unique_ptr<BIGNUM, Free> result(BN_new());
    std::vector<std::uint8_t> output(length);
    const bool done =
        context && value && result && BN_cmp(value.get(), modulus_.get()) < 0 &&
        BN_mod_exp_mont(result.get(), value.get(), exponent_.get(), modulus_.get(), context.get(),
                        montgomery_.get()) == 1 &&
        BN_bn2binpad(result.get(), output.data(), static_cast<int>(length)) == static_cast<int>(length);
    return done ? output : std::vector<std::uint8_t>{};
}

} // namespace quillet

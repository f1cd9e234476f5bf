#pragma once

#include <string>
#include <string_view>

namespace quillet {

// Key algorithm constants; their text is what log lines show.
using SecKeyAlgorithm = std::string_view;
inline constexpr SecKeyAlgorithm kSecKeyAlgorithmRSASignatureRaw = "RSASignatureRaw";
inline constexpr SecKeyAlgorithm kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256 =
    "RSASignatureDigestPKCS1v15SHA256";
inline constexpr SecKeyAlgorithm kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1 =
    "RSASignatureDigestPKCS1v15SHA1";

// The algorithm a client asked for, matched against constants by exact match.
class TKTokenKeyAlgorithm {
public:
    explicit TKTokenKeyAlgorithm(std::string algorithm) : algorithm_(std::move(algorithm)) {}

    bool isAlgorithm(SecKeyAlgorithm algorithm) const { return algorithm_ == algorithm; }
    std::string description() const { return "<TKTokenKeyAlgorithm " + algorithm_ + ">"; }

private:
    std::string algorithm_;
};

} // namespace quillet

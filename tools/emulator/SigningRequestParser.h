#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <string>
#include <string_view>

namespace veltora::emulator {

// What a fast signing request asks for.
struct SigningRequest {
    std::string signingPolicyId;
    std::string digestBase64;
    std::string rsaHashAlgorithm;
    std::string user;
};

// Reads the multipart body of a signing request strictly: the byte layout the
// client sends and nothing else. A deviation is an error whose description is
// the reason the emulator answers with status 400.
class SigningRequestParser {
public:
    static constexpr std::string_view kContentType =
        "multipart/form-data; boundary=unique-consistent-string; charset=utf-8";

    static Result<SigningRequest> parse(std::string_view body);
};

} // namespace veltora::emulator

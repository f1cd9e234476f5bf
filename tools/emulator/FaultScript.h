#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace veltora::emulator {

enum class Endpoint { signing, policies };

// One scripted answer.
struct FaultStep {
    enum class Kind {
        normal,                  // "ok": answer as the service would
        status,                  // "503", "404:not-utf8", "418:some text"
        hang,                    // "hang": no answer until the emulator stops
        emptyBody,               // "empty-body": 200 with no bytes
        notJson,                 // "not-json"
        jsonArray,               // "json-array"
        missingSignature,        // "missing-signature": an object without "Signature"
        signatureNotString,      // "signature-not-string": "Signature" is a number
        signatureNull,           // "signature-null"
        signatureWithLineBreaks, // "signature-with-line-breaks": the real signature, wrapped
        invalidBase64,           // "invalid-base64"
        shortSignature,          // "short-signature:N": the first N bytes of the real signature
        wrongSignature,          // "wrong-signature": a real signature of another digest
        unpaddedSignature,       // "signature-without-leading-zeros": the real one, no zeros in front
        largeBody,               // "large-body:N": 200, a JSON object of N bytes
    };
    Kind kind = Kind::normal;
    int status = 200;
    std::string body; // for Kind::status
    // For Kind::shortSignature and Kind::largeBody; for Kind::status, a UTF-8
    // body of this size ("NNN:utf8-bytes-N") instead of body.
    std::size_t bytes = 0;
};

// Scripted answers per endpoint, used up one per request; once a script is
// used up the endpoint answers normally again. Safe from every request thread.
class FaultScript {
public:
    // A comma-separated list of steps; "STEP*N" repeats a step N times.
    static Result<std::vector<FaultStep>> parse(std::string_view text);
    static Result<Endpoint> parseEndpoint(std::string_view name);

    void replace(Endpoint endpoint, std::vector<FaultStep> steps);
    FaultStep next(Endpoint endpoint);

    std::atomic<int> latencyMilliseconds{0};

private:
    std::mutex mutex_;
    std::array<std::deque<FaultStep>, 2> pending_;
};

} // namespace veltora::emulator

#pragma once

#include "Quillet/pkcs11/SignatureBuffer.h"
#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/pkcs11/objects/ObjectHandles.h"
#include "Quillet/pkcs11/objects/TokenEntry.h"
#include "Quillet/pkcs11/operation/SignatureVerifier.h"
#include "Quillet/pkcs11/operation/Signer.h"
#include "Quillet/token/TokenSession.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace quillet {

// One application session on one token: at most one search, one signing, one
// verifying and one encrypting operation at a time, held under the session's own lock. The lock is never
// held while the service is asked for a signature.
class Pkcs11Session {
public:
    Pkcs11Session(CK_FLAGS flags, std::shared_ptr<const TokenEntry> token,
                  std::shared_ptr<TokenSession> tokenSession);

    CK_SLOT_ID slotID() const { return token_->slotID(); }
    CK_FLAGS flags() const { return flags_; }
    const std::shared_ptr<TokenSession>& tokenSession() const { return tokenSession_; }

    veltora::Result<void> getAttributeValue(CK_OBJECT_HANDLE object,
                                            std::span<CK_ATTRIBUTE> attributes) const;
    veltora::Result<CK_ULONG> objectSize(CK_OBJECT_HANDLE object) const;

    veltora::Result<void> findObjectsInit(std::span<const CK_ATTRIBUTE> search);
    veltora::Result<std::vector<CK_OBJECT_HANDLE>> findObjects(std::size_t maxCount);
    veltora::Result<void> findObjectsFinal();

    veltora::Result<void> signInit(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    // Ends the operation unless it answers the length or CKR_BUFFER_TOO_SMALL.
    veltora::Result<void> sign(std::span<const std::uint8_t> data, SignatureBuffer& signature);
    // Ends the operation when it fails.
    veltora::Result<void> signUpdate(std::span<const std::uint8_t> part);
    // Ends the operation unless it answers the length or CKR_BUFFER_TOO_SMALL.
    veltora::Result<void> signFinal(SignatureBuffer& signature);

    // Verifying and encrypting are local and quick, so they run under the lock.
    // Every call but a successful C_VerifyUpdate ends the operation.
    veltora::Result<void> verifyInit(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    veltora::Result<void> verify(std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature);
    veltora::Result<void> verifyUpdate(std::span<const std::uint8_t> part);
    veltora::Result<void> verifyFinal(std::span<const std::uint8_t> signature);

    veltora::Result<void> encryptInit(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    // Ends the operation unless it answers the length or CKR_BUFFER_TOO_SMALL.
    veltora::Result<void> encrypt(std::span<const std::uint8_t> data, SignatureBuffer& encrypted);

    // No key of the token decrypts; this answers why for the handle given.
    veltora::Result<void> decryptInit(CK_OBJECT_HANDLE key) const;

private:
    enum class SignStep { single, final };

    using SignResult = veltora::Result<std::vector<std::uint8_t>>;

    // Checks the state and the buffer; true when the call is complete without signing.
    veltora::Result<bool> answerWithoutSigning(SignStep step, SignatureBuffer& signature);
    // Runs the signer's step (which may wait for the service) with the lock
    // released, ends the operation, and copies the signature out.
    veltora::Result<void> signWithoutLock(const std::function<SignResult()>& step,
                                          SignatureBuffer& signature);
    void endSigning();
    // CKR_KEY_HANDLE_INVALID for what is no key of this session's token.
    veltora::Result<ObjectKind> keyKind(CK_OBJECT_HANDLE key) const;
    // The public key for a local operation: CKR_KEY_HANDLE_INVALID for what
    // is no key, CKR_KEY_FUNCTION_NOT_PERMITTED for the private key.
    veltora::Result<void> checkPublicKey(CK_OBJECT_HANDLE key, const char* operation) const;

    CK_FLAGS flags_;
    std::shared_ptr<const TokenEntry> token_;
    std::shared_ptr<TokenSession> tokenSession_;

    std::mutex mutex_; // guards everything below
    std::optional<std::vector<CK_OBJECT_HANDLE>> found_;
    std::unique_ptr<Signer> signer_;
    bool partsTaken_ = false;
    bool signerBusy_ = false; // a call on another thread is using signer_ without the lock
    std::unique_ptr<SignatureVerifier> verifier_;
    bool encrypting_ = false;
};

} // namespace quillet

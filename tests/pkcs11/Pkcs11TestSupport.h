#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "tests/support/EmulatorProcess.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::test {

using Bytes = std::vector<std::uint8_t>;

// A registration store of its own, named by VELTORA_TOKEN_STORE while it lives.
class TemporaryStore {
public:
    TemporaryStore();
    ~TemporaryStore();
    TemporaryStore(const TemporaryStore&) = delete;
    TemporaryStore& operator=(const TemporaryStore&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Registers a token the way the host does, through the store's writer.
void registerToken(const std::string& instanceID, const Bytes& certificateDer,
                   const veltora::Configuration& configuration);
void unregisterToken(const std::string& instanceID);

// A self-signed RSA certificate with this common name (one key per size, made once),
// optionally with subject and authority key identifiers.
Bytes makeCertificate(const std::string& commonName, int keyBits = 2048, bool withKeyIdentifiers = false);

// Writes the DER certificate as a PEM file; false when either fails.
bool writeCertificatePem(const Bytes& certificateDer, const std::string& path);

// What a registration holds to sign through this emulator, with short timeouts.
veltora::Configuration emulatorConfiguration(const veltora::test::EmulatorProcess& emulator);
// The DER certificate of one of the emulator's policies.
Bytes policyCertificate(const veltora::test::EmulatorProcess& emulator, const std::string& policyID);

Bytes sha256(const Bytes& data);
Bytes sha1(const Bytes& data);
Bytes sha256DigestInfo(const Bytes& digest);
Bytes sha1DigestInfo(const Bytes& digest);

// build/lib/quillet-pkcs11.so of this build.
std::string modulePath();

struct ToolResult {
    int status = -1;    // the exit status, -1 when the tool did not exit
    std::string output; // standard output and standard error
};
// Runs a shell command line under `timeout`, able to load the module even when it is built with
// AddressSanitizer.
ToolResult runTool(const std::string& command);
// The environment assignments ("NAME=value ...") a program needs to load the module built with
// AddressSanitizer: the runtime first, and no leak report for the program's own allocations.
// Empty for a build without it.
std::string sanitizerEnvironment();
// The OpenSSL pkcs11 engine, from OpenSSL's engines directory.
std::string pkcs11Engine();
// Runs a shell command line under `timeout`, as it stands.
ToolResult runCommand(const std::string& command);
// A variable of p11-kit's pkg-config file: its directories as built for this system.
std::string p11KitVariable(const std::string& name);

// True when the PKCS #1 v1.5 signature over the digest checks out with the certificate's key.
bool verifiesDigest(const Bytes& certificateDer, const Bytes& digest, bool sha256Digest,
                    const Bytes& signature);

// The module initialised over a temporary store; finalised afterwards.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<CK_SLOT_ID> slots(bool tokenPresent = true);
    CK_SESSION_HANDLE openSession(CK_SLOT_ID slot);
    // The handle of the only object of the class, or CK_INVALID_HANDLE.
    CK_OBJECT_HANDLE findObject(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass);
    Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    // C_SignInit and the two-call C_Sign; the signature is empty on failure.
    CK_RV sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, const Bytes& data, Bytes& signature);

    CK_FUNCTION_LIST* functions = nullptr;
    TemporaryStore store;
};

} // namespace quillet::test

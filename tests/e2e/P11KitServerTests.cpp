// The PKCS#11 server's user unit as cmake --install writes it, run the way systemd runs it: its
// runtime directory, then ExecStart with %t made the throwaway runtime directory. The host of the
// same installed tree registers the emulator's policies; the signers load only p11-kit's client
// module and reach the tokens through the unit's socket.

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "tests/app/HostProcess.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace veltora::test {
namespace {

using quillet::test::runCommand;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kUnitFile = "/usr/lib/systemd/user/veltora-p11-kit-server.service";
const std::string kKey = "'pkcs11:token=policy-1;object=policy-1;type=private'";

// The unit's settings, the first value of each key.
std::map<std::string, std::string> unitSettings(const std::string& text) {
    std::map<std::string, std::string> settings;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (!line.starts_with('#') && equals != std::string::npos) {
            settings.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return settings;
}

// The command line with systemd's %t, the user's runtime directory, filled in.
std::string withRuntimeDirectory(std::string line, const std::string& runtime) {
    for (auto at = line.find("%t"); at != std::string::npos; at = line.find("%t", at + runtime.size())) {
        line.replace(at, 2, runtime);
    }
    return line;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

class P11KitServerUnit : public ::testing::Test {
protected:
    // One installed tree for every test: cmake --install takes a while with this build's files.
    static void SetUpTestSuite() {
        auto directory = std::make_unique<TemporaryDirectory>();
        installation = runCommand("cmake --install " VELTORA_BINARY_DIR " --prefix " + (*directory / "usr"));
        if (installation.status == 0) {
            installed = std::move(directory);
        }
    }
    static void TearDownTestSuite() { installed.reset(); }

    void SetUp() override {
        ASSERT_TRUE(installed) << installation.output;
        unit = unitSettings(readFile(installed->path() + kUnitFile));
        ASSERT_TRUE(std::filesystem::create_directory(runtime));
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all); // as logind makes it
        // systemd makes the unit's runtime directory before ExecStart.
        const std::string directory = runtime + "/" + unit["RuntimeDirectory"];
        ASSERT_TRUE(std::filesystem::create_directory(directory)) << directory;
        ASSERT_EQ(::chmod(directory.c_str(),
                          static_cast<mode_t>(std::stoul(unit["RuntimeDirectoryMode"], nullptr, 8))),
                  0);

        const std::string start = withRuntimeDirectory(unit["ExecStart"], runtime);
        ASSERT_THAT(start, Not(HasSubstr("%"))) << "a specifier the test does not fill in";
        // The server is a program of this build, sanitizers and all, with the module installed beside it.
        server = std::make_unique<HostProcess>(
            sandbox, std::vector<std::string>{"-c", "exec " + start},
            std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtime}}, "/bin/sh");
        // Type=exec: the unit counts as started at once, so the socket must be there when it says so.
        ASSERT_TRUE(server->waitForErrors("listening on " + socket)) << server->errors();
        EXPECT_EQ(modeOf(socket), S_IFSOCK | 0600);
    }

    void TearDown() override {
        if (server) {
            // systemd's stop.
            server->signal(SIGTERM);
            EXPECT_EQ(server->wait(), 0) << server->errors();
            EXPECT_FALSE(std::filesystem::exists(socket));
        }
    }

    void startHost() {
        host = std::make_unique<HostProcess>(sandbox, std::vector<std::string>{"--headless"},
                                             serviceEnvironment(emulator),
                                             *installed / "usr/bin/VeltoraCryptoTokenKit");
        ASSERT_TRUE(host->waitForOutput("\tpolicy-2\t")) << host->errors(); // both registered
    }

    // A signer's command line: p11-kit's client module, told where the server is.
    quillet::test::ToolResult sign(const std::string& command) const {
        return runCommand("env P11_KIT_SERVER_ADDRESS=unix:path=" + socket + " " + command);
    }
    std::string pkcs11Tool() const { return "pkcs11-tool --module " + client + " "; }

    static inline quillet::test::ToolResult installation;
    static inline std::unique_ptr<TemporaryDirectory> installed;
    std::map<std::string, std::string> unit;
    EmulatorProcess emulator{{"--generate", "2", "--key-bits", "1024"}};
    HostSandbox sandbox;
    const std::string runtime = sandbox / "run";
    const std::string client = quillet::test::p11KitVariable("p11_module_path") + "/p11-kit-client.so";
    const std::string socket = runtime + "/veltora/pkcs11";
    std::unique_ptr<HostProcess> server;
    std::unique_ptr<HostProcess> host;
};

TEST_F(P11KitServerUnit, SocketIsTheUsersAloneInTheRuntimeDirectory) {
    EXPECT_EQ(modeOf(socket), S_IFSOCK | 0600);
    EXPECT_EQ(modeOf(runtime + "/veltora"), S_IFDIR | 0700);
    struct stat owner {};
    ASSERT_EQ(::stat(socket.c_str(), &owner), 0);
    EXPECT_EQ(owner.st_uid, ::geteuid());
}

TEST_F(P11KitServerUnit, Pkcs11ToolAndOsslsigncodeSignThroughTheClient) {
    startHost();
    // The emulator's certificate, not one read through the server, is what the signatures must match.
    ASSERT_TRUE(quillet::test::writeCertificatePem(quillet::test::policyCertificate(emulator, "policy-id-1"),
                                                   sandbox / "signer.pem"));
    writeFile(sandbox / "message", "signed through the PKCS#11 server");
    const auto signedMessage =
        sign(pkcs11Tool() + "--token-label policy-1 --sign -m SHA256-RSA-PKCS --label policy-1 -i " +
             (sandbox / "message") + " -o " + (sandbox / "signature"));
    ASSERT_EQ(signedMessage.status, 0) << signedMessage.output;
    const auto checked =
        runCommand("openssl x509 -in " + (sandbox / "signer.pem") + " -noout -pubkey -out " +
                   (sandbox / "signer.pub") + " && openssl dgst -sha256 -verify " + (sandbox / "signer.pub") +
                   " -signature " + (sandbox / "signature") + " " + (sandbox / "message"));
    EXPECT_THAT(checked.output, HasSubstr("Verified OK")) << checked.output;

    writeFile(sandbox / "script.ps1", "Write-Output 'Signed through the PKCS#11 server'\r\n");
    const auto signedScript =
        sign("osslsigncode sign -pkcs11engine " + quillet::test::pkcs11Engine() + " -pkcs11module " + client +
             " -certs " + (sandbox / "signer.pem") + " -key " + kKey + " -h sha256 -in " +
             (sandbox / "script.ps1") + " -out " + (sandbox / "signed.ps1"));
    ASSERT_EQ(signedScript.status, 0) << signedScript.output;
    const auto verified = runCommand("osslsigncode verify -CAfile " + (sandbox / "signer.pem") + " -in " +
                                     (sandbox / "signed.ps1"));
    EXPECT_THAT(verified.output, HasSubstr("Signature verification: ok")) << verified.output;
}

// The module reads the store afresh whenever a signer lists the slots: the server needs no restart
// when the host synchronises. A removed registration leaves its slot empty while the server runs.
TEST_F(P11KitServerUnit, SignersSeeTheRegistrationsOfTheMomentTheyLook) {
    const auto before = sign(pkcs11Tool() + "-L");
    EXPECT_THAT(before.output, HasSubstr("No slots.")) << before.output;

    startHost();
    const auto registered = sign(pkcs11Tool() + "-L");
    EXPECT_THAT(registered.output, HasSubstr("token label        : policy-1")) << registered.output;
    EXPECT_THAT(registered.output, HasSubstr("token label        : policy-2")) << registered.output;

    host->signal(SIGTERM);
    ASSERT_EQ(host->wait(), 0) << host->errors();
    const auto removed = sign(pkcs11Tool() + "-L");
    EXPECT_EQ(removed.status, 0) << removed.output;
    EXPECT_THAT(removed.output, Not(HasSubstr("token label"))) << removed.output;
}

// p11-kit's client module in this process, one more client of the server.
class ClientModule {
public:
    ClientModule(const std::string& path, const std::string& socket) {
        ::setenv("P11_KIT_SERVER_ADDRESS", ("unix:path=" + socket).c_str(), 1);
        handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto* getFunctionList =
            handle_ != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"))
                               : nullptr;
        if (getFunctionList != nullptr && getFunctionList(&functions) == CKR_OK &&
            functions->C_Initialize(nullptr) != CKR_OK) {
            functions = nullptr;
        }
    }
    ~ClientModule() {
        if (functions != nullptr) {
            functions->C_Finalize(nullptr);
        }
        if (handle_ != nullptr) {
            ::dlclose(handle_);
        }
        ::unsetenv("P11_KIT_SERVER_ADDRESS");
    }
    ClientModule(const ClientModule&) = delete;
    ClientModule& operator=(const ClientModule&) = delete;

    // A session on the token of this label with C_SignInit done on its key, or CK_INVALID_HANDLE.
    CK_SESSION_HANDLE signingSession(const std::string& label) const {
        CK_ULONG count = 16;
        CK_SLOT_ID slots[16];
        if (functions->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) {
            return CK_INVALID_HANDLE;
        }
        for (CK_ULONG at = 0; at < count; ++at) {
            CK_TOKEN_INFO token{};
            CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
            if (functions->C_GetTokenInfo(slots[at], &token) != CKR_OK ||
                std::string(reinterpret_cast<const char*>(token.label), sizeof token.label)
                        .rfind(label + " ", 0) != 0 ||
                functions->C_OpenSession(slots[at], CKF_SERIAL_SESSION, nullptr, nullptr, &session) !=
                    CKR_OK) {
                continue;
            }
            CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
            CK_ATTRIBUTE byClass{CKA_CLASS, &keyClass, sizeof keyClass};
            CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
            CK_ULONG found = 0;
            CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
            if (functions->C_FindObjectsInit(session, &byClass, 1) == CKR_OK &&
                functions->C_FindObjects(session, &key, 1, &found) == CKR_OK &&
                functions->C_FindObjectsFinal(session) == CKR_OK && found == 1 &&
                functions->C_SignInit(session, &mechanism, key) == CKR_OK) {
                return session;
            }
        }
        return CK_INVALID_HANDLE;
    }

    CK_FUNCTION_LIST* functions = nullptr;

private:
    void* handle_ = nullptr;
};

// Each connection has a module instance of its own: what one signer ends, even all of its
// sessions and the library itself, leaves another signer's operation in progress alone.
TEST_F(P11KitServerUnit, OneSignersEndLeavesAnothersSessionInProgress) {
    startHost();
    writeFile(sandbox / "message", "signed while other signers come and go");
    const std::map<std::string, std::string> otherSigners{
        {"signs, closes its session and finalizes",
         pkcs11Tool() + "--token-label policy-1 --sign -m SHA256-RSA-PKCS --label policy-1 -i " +
             (sandbox / "message") + " -o " + (sandbox / "other.sig")},
        {"lists the tokens and finalizes", pkcs11Tool() + "-L"}};
    for (const auto& [name, command] : otherSigners) {
        SCOPED_TRACE(name);
        ClientModule client(this->client, socket);
        ASSERT_NE(client.functions, nullptr);
        const CK_SESSION_HANDLE session = client.signingSession("policy-1");
        ASSERT_NE(session, CK_INVALID_HANDLE);

        const auto other = sign(command);
        ASSERT_EQ(other.status, 0) << other.output;

        std::string message = "signed while other signers come and go";
        std::vector<CK_BYTE> signature(512);
        CK_ULONG length = signature.size();
        ASSERT_EQ(client.functions->C_Sign(session, reinterpret_cast<CK_BYTE_PTR>(message.data()),
                                           message.size(), signature.data(), &length),
                  CKR_OK);
        signature.resize(length);
        EXPECT_TRUE(quillet::test::verifiesDigest(
            quillet::test::policyCertificate(emulator, "policy-id-1"),
            quillet::test::sha256(quillet::test::Bytes(message.begin(), message.end())), true,
            quillet::test::Bytes(signature.begin(), signature.end())));
    }
}

// Behind the socket's mode the server checks the peer's user too: were the socket opened up, another
// user's signer would still be turned away.
TEST_F(P11KitServerUnit, RefusesAnotherUsersSigner) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    for (const std::string& directory : {sandbox.path(), runtime, runtime + "/veltora"}) {
        ASSERT_EQ(::chmod(directory.c_str(), 0711), 0) << directory;
    }
    ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
    const auto other = sign("setpriv --reuid=65534 --regid=65534 --clear-groups " + pkcs11Tool() + "-I");
    EXPECT_NE(other.status, 0) << other.output;
    EXPECT_TRUE(server->waitForErrors("refused a connection of user 65534")) << server->errors();
    const auto own = sign(pkcs11Tool() + "-I");
    EXPECT_THAT(own.output, HasSubstr("Manufacturer     Veltora")) << own.output;
}

TEST_F(P11KitServerUnit, PassesSystemdVerification) {
    if (runCommand("systemd-analyze --version").status != 0) {
        GTEST_SKIP() << "no systemd-analyze";
    }
    // Warnings (unknown keys, bad values) are printed with status 0; a missing program fails.
    const auto verified = runCommand("env XDG_RUNTIME_DIR=" + runtime + " systemd-analyze verify --user " +
                                     installed->path() + kUnitFile);
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(verified.output, "");
}

} // namespace
} // namespace veltora::test

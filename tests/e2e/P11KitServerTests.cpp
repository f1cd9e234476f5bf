// The p11-kit server's user unit as cmake --install writes it, run the way systemd runs it: its
// runtime directory, then ExecStart and ExecStartPost with %t made the throwaway runtime directory.
// The host of the same installed tree registers the emulator's policies; the signers load only
// p11-kit's client module and reach the tokens through the unit's socket.

#include "tests/app/HostProcess.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
        const std::string started = withRuntimeDirectory(unit["ExecStartPost"], runtime);
        ASSERT_THAT(start + started, Not(HasSubstr("%"))) << "a specifier the test does not fill in";
        // The server loads the module of this build, sanitizers and all; the signers do not.
        server = std::make_unique<HostProcess>(
            sandbox,
            std::vector<std::string>{"-c", "exec env " + quillet::test::sanitizerEnvironment() + start},
            std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtime}}, "/bin/sh");
        const auto ready = runCommand(started);
        ASSERT_EQ(ready.status, 0) << ready.output << server->errors();
        ASSERT_TRUE(server->waitForOutput(";")) << server->errors();
        const std::string output = server->output();
        const std::string prefix = "P11_KIT_SERVER_ADDRESS=unix:path=";
        const auto at = output.find(prefix);
        ASSERT_NE(at, std::string::npos) << output;
        socket = output.substr(at + prefix.size(), output.find(';', at) - at - prefix.size());
    }

    void TearDown() override {
        if (server) {
            // systemd's stop: the unit counts the server's exit status as success.
            server->signal(SIGTERM);
            const std::string status = std::to_string(server->wait());
            EXPECT_THAT(" 0 " + unit["SuccessExitStatus"] + " ", HasSubstr(" " + status + " "))
                << server->errors();
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
    std::unique_ptr<HostProcess> server;
    std::unique_ptr<HostProcess> host;
    std::string socket;
};

TEST_F(P11KitServerUnit, SocketIsTheUsersAloneInTheRuntimeDirectory) {
    EXPECT_EQ(socket, runtime + "/veltora/pkcs11");
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
    writeFile(sandbox / "message", "signed through the p11-kit server");
    const auto signedMessage =
        sign(pkcs11Tool() + "--token-label policy-1 --sign -m SHA256-RSA-PKCS --label policy-1 -i " +
             (sandbox / "message") + " -o " + (sandbox / "signature"));
    ASSERT_EQ(signedMessage.status, 0) << signedMessage.output;
    const auto checked =
        runCommand("openssl x509 -in " + (sandbox / "signer.pem") + " -noout -pubkey -out " +
                   (sandbox / "signer.pub") + " && openssl dgst -sha256 -verify " + (sandbox / "signer.pub") +
                   " -signature " + (sandbox / "signature") + " " + (sandbox / "message"));
    EXPECT_THAT(checked.output, HasSubstr("Verified OK")) << checked.output;

    writeFile(sandbox / "script.ps1", "Write-Output 'Signed through the p11-kit server'\r\n");
    const auto signedScript =
        sign("osslsigncode sign -pkcs11engine " + quillet::test::pkcs11Engine() + " -pkcs11module " + client +
             " -certs " + (sandbox / "signer.pem") + " -key " + kKey + " -h sha256 -in " +
             (sandbox / "script.ps1") + " -out " + (sandbox / "signed.ps1"));
    ASSERT_EQ(signedScript.status, 0) << signedScript.output;
    const auto verified = runCommand("osslsigncode verify -CAfile " + (sandbox / "signer.pem") + " -in " +
                                     (sandbox / "signed.ps1"));
    EXPECT_THAT(verified.output, HasSubstr("Signature verification: ok")) << verified.output;
}

// Each connection gets a fresh module: the server needs no restart when the host synchronises.
TEST_F(P11KitServerUnit, SignersSeeTheRegistrationsOfTheMomentTheyConnect) {
    const auto before = sign(pkcs11Tool() + "-L");
    EXPECT_THAT(before.output, HasSubstr("No slots.")) << before.output;

    startHost();
    const auto registered = sign(pkcs11Tool() + "-L");
    EXPECT_THAT(registered.output, HasSubstr("token label        : policy-1")) << registered.output;
    EXPECT_THAT(registered.output, HasSubstr("token label        : policy-2")) << registered.output;

    host->signal(SIGTERM);
    ASSERT_EQ(host->wait(), 0) << host->errors();
    const auto removed = sign(pkcs11Tool() + "-L");
    EXPECT_THAT(removed.output, HasSubstr("No slots.")) << removed.output;
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

#include "VeltoraCryptoTokenKit/app/HostOptions.h"

namespace veltora {

HostOptions HostOptions::parse(const std::vector<std::string>& arguments) {
    HostOptions options;
    // Like the configuration's parser, every argument is looked at in its own turn,
    // so a switch counts even where it also serves as an option's value.
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        options.headless = options.headless || argument == "--headless";
        options.help = options.help || argument == "--help";
        options.version = options.version || argument == "--version";
    }
    return options;
}

std::string HostOptions::helpText(const std::string& programName) {
    return "Usage: " + programName + R"( [--headless] [configuration options]

Registers the certificates of the Veltora signing policies that the API token
may use as tokens of the Quillet PKCS#11 module, lists them, and removes the
registrations again when it quits.

Host options:
  --headless                    no window: after each synchronisation the rows
                                go to standard output as tab-separated lines
                                under a header line; SIGHUP synchronises again,
                                SIGINT and SIGTERM quit
  --help                        this text
  --version                     the version

Configuration options (each takes the next argument as its value):
  --api-url URL                 the service's API URL
  --organization-id ID          the organization
  --api-token TOKEN             the API token
  --project-slug SLUG           only policies of this project
  --signing-policy-slug SLUG    only this signing policy
  --config PATH                 the JSON configuration file

The same settings come from VELTORA_API_URL, VELTORA_ORGANIZATION_ID,
VELTORA_API_TOKEN, VELTORA_PROJECT_SLUG, VELTORA_SIGNING_POLICY_SLUG,
VELTORA_CONFIG_FILE and the configuration file; the command line wins.
Registrations live in VELTORA_TOKEN_STORE, else
${XDG_DATA_HOME:-$HOME/.local/share}/veltora/tokens.
)";
}

std::string HostOptions::versionText() {
    return std::string("VeltoraCryptoTokenKit ") + VELTORA_VERSION + "\n";
}

} // namespace veltora

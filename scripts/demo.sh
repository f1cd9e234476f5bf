#!/usr/bin/env bash
# The whole system in one command. Installs the Debian packages, builds the
# host, the module and the emulator (Release, into build/), then:
#   1. starts the service emulator over HTTPS with three policies, its CA
#      trusted through SSL_CERT_FILE;
#   2. starts the host headless, configured through VELTORA_* variables, and
#      prints the certificates it registered;
#   3. signs through the module with osslsigncode, openssl (pkcs11 engine),
#      pkcs11-tool and jarsigner, and checks each result with a verifier that
#      does not use the module;
#   4. prints a table: tool, file, verified;
#   5. quits the host with SIGTERM and shows that no token is left.
# Exits 0 only when every signature verified.
#
# Usage: scripts/demo.sh [--no-setup] [--build-dir DIR]
#   --no-setup       skip the package installation and the build: run the
#                    demo on the programs already in the build directory
#   --build-dir DIR  where the programs are built (default: build)
#
# With VELTORA_API_URL, VELTORA_ORGANIZATION_ID and VELTORA_API_TOKEN all set,
# the demo signs with that service and starts no emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

setup=yes
build=build
while [ $# -gt 0 ]; do
    case $1 in
        --no-setup) setup=no ;;
        --build-dir) build=${2:?--build-dir needs a directory}; shift ;;
        *) echo "usage: scripts/demo.sh [--no-setup] [--build-dir DIR]" >&2; exit 2 ;;
    esac
    shift
done

work=$(mktemp -d "${TMPDIR:-/tmp}/veltora-demo-XXXXXX")
children=()
results=()
all_verified=yes

# Every exit path ends the processes the demo started and removes its files.
stop_process() {
    local pid=$1 tenth
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((tenth = 0; tenth < 50; tenth++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    local pid
    for pid in "${children[@]}"; do stop_process "$pid"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step() { echo "==> $*"; }
detail() { echo "    $*"; }

# The last lines of a log file, indented.
show_tail() {
    local title=$1 file=$2
    [ -s "$file" ] || return 0
    echo "    --- last lines of $title ---"
    tail -n 15 "$file" | sed 's/^/    | /'
}

# The newest log file that a program wrote through the log facility.
program_log() {
    ls -t "$XDG_STATE_HOME/veltora/logs/$1"/* 2>/dev/null | head -n 1
}

fail() {
    local message=$1
    shift
    echo "FAILED: $message" >&2
    while [ $# -ge 2 ]; do
        show_tail "$1" "$2" >&2
        shift 2
    done
    exit 1
}

# Polls the command every 0.1 s for at most the given seconds while the process lives.
# Returns 0 when the command succeeds, 1 on timeout, 2 when the process ended.
wait_until() {
    local seconds=$1 pid=$2 tenth
    shift 2
    for ((tenth = 0; tenth < seconds * 10; tenth++)); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || return 2
        sleep 0.1
    done
    return 1
}

# ---- set-up -------------------------------------------------------------------------------------

setup_step() {
    local what=$1
    shift
    step "$what"
    "$@" >"$work/setup.log" 2>&1 || fail "$what" "$what" "$work/setup.log"
}

if [ "$setup" = yes ]; then
    setup_step "Installing the Debian packages (scripts/install-deps.sh)" bash scripts/install-deps.sh
    setup_step "Configuring a Release build in $build/" \
        cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTORA_BUILD_TESTS=OFF
    setup_step "Building the host, the module and the emulator" \
        cmake --build "$build" -j"$(nproc)" --target VeltoraCryptoTokenKit quillet-pkcs11 veltora-service-emulator
fi

build=$(cd "$build" 2>/dev/null && pwd) || fail "no build directory $build"
host=$build/bin/VeltoraCryptoTokenKit
emulator=$build/bin/veltora-service-emulator
module=$build/lib/quillet-pkcs11.so
for program in "$host" "$emulator" "$module"; do
    [ -e "$program" ] || fail "$program is missing: build first, or run scripts/demo.sh without --no-setup"
done

# A home of its own: registrations, logs and settings go to the work directory.
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state \
    XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/runtime VELTORA_TOKEN_STORE=$work/store
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# A module built with AddressSanitizer needs its runtime loaded first into the tools, which are
# not; their own allocations are none of the module's leaks.
asan_runtime=$(ldd "$module" | awk '/libasan/ {print $3}')
tool_environment=()
java_environment=()
if [ -n "$asan_runtime" ]; then
    tool_environment=(LD_PRELOAD="$asan_runtime" ASAN_OPTIONS=detect_leaks=0)
    # The JVM handles SIGSEGV itself (null checks, stack banging).
    java_environment=(LD_PRELOAD="$asan_runtime"
        ASAN_OPTIONS=detect_leaks=0:handle_segv=0:allow_user_segv_handler=1:use_sigaltstack=0)
fi
# Runs a tool that loads the module, bounded, its output in the given file.
run_tool() {
    local output=$1
    shift
    env "${tool_environment[@]}" timeout 120 "$@" >"$output" 2>&1
}

# ---- the service ----------------------------------------------------------------------------------

if [ -n "${VELTORA_API_URL:-}" ] && [ -n "${VELTORA_ORGANIZATION_ID:-}" ] && [ -n "${VELTORA_API_TOKEN:-}" ]; then
    step "Using the service at $VELTORA_API_URL (organization $VELTORA_ORGANIZATION_ID); no emulator"
elif [ -n "${VELTORA_API_URL:-}${VELTORA_ORGANIZATION_ID:-}${VELTORA_API_TOKEN:-}" ]; then
    fail "set all of VELTORA_API_URL, VELTORA_ORGANIZATION_ID and VELTORA_API_TOKEN for a service, or none for the emulator"
else
    step "Starting the service emulator over HTTPS with 3 policies"
    "$emulator" --tls --ca-file "$work/emulator-ca.pem" --generate 3 \
        --organization demo-org --api-token demo-token >"$work/emulator.out" 2>"$work/emulator.err" &
    emulator_pid=$!
    children+=("$emulator_pid")
    wait_until 30 "$emulator_pid" grep -qs '/Api$' "$work/emulator.out" ||
        fail "the emulator did not start" "the emulator's errors" "$work/emulator.err"
    # Only settings of the demo reach the host, none of the caller's filters or files.
    unset VELTORA_PROJECT_SLUG VELTORA_SIGNING_POLICY_SLUG VELTORA_CONFIG_FILE
    VELTORA_API_URL=$(head -n 1 "$work/emulator.out")
    export VELTORA_API_URL VELTORA_ORGANIZATION_ID=demo-org VELTORA_API_TOKEN=demo-token
    # The host and the module trust the emulator's CA, and only it.
    export SSL_CERT_FILE=$work/emulator-ca.pem
    detail "$VELTORA_API_URL, CA in $SSL_CERT_FILE"
fi

# ---- the host -------------------------------------------------------------------------------------

step "Starting the host headless; waiting for its certificate rows"
"$host" --headless >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
host_index=${#children[@]}
children+=("$host_pid")
header=$'^commonname\tproject\tsigningpolicy\tfingerprint\texpires$'
host_reported() { grep -qs "$header" "$work/host.out" || [ -s "$work/host.err" ]; }
waited=0
wait_until 60 "$host_pid" host_reported || waited=$?
if ! grep -q "$header" "$work/host.out"; then
    case $waited in
        1) problem="the host printed no rows within 60 s" ;;
        2) problem="the host ended before it printed its rows" ;;
        *) problem="the host's certificate synchronisation failed" ;;
    esac
    fail "$problem" "the host's errors" "$work/host.err" "the host's log" "$(program_log VeltoraCryptoTokenKit)"
fi
rows=$(sed -n "/$header/,\$p" "$work/host.out")
[ "$(wc -l <<<"$rows")" -gt 1 ] || fail "the service offered no signing policy to the API token"
column -t -s $'\t' <<<"$rows" 2>/dev/null | sed 's/^/    /' || sed 's/^/    /' <<<"$rows"

# ---- signing --------------------------------------------------------------------------------------

mkdir "$work/files"
cd "$work/files"

step "Reading the first token's certificate through the module (pkcs11-tool)"
run_tool objects.txt pkcs11-tool --module "$module" --list-objects --type privkey ||
    fail "pkcs11-tool cannot list the keys" "pkcs11-tool" objects.txt "the module's log" "$(program_log pkcs11-tool)"
key_id=$(awk '/^ *ID:/ {print $2; exit}' objects.txt)
key_label=$(sed -n 's/^ *label: *//p' objects.txt | head -n 1)
[ -n "$key_id" ] || fail "the module shows no private key" "pkcs11-tool" objects.txt
run_tool certificate.txt pkcs11-tool --module "$module" --read-object --type cert --id "$key_id" -o certificate.der &&
    openssl x509 -inform DER -in certificate.der -out certificate.pem >>certificate.txt 2>&1 &&
    openssl x509 -in certificate.pem -noout -pubkey -out public-key.pem >>certificate.txt 2>&1 ||
    fail "cannot read the certificate" "pkcs11-tool" certificate.txt "the module's log" "$(program_log pkcs11-tool)"
key_uri="pkcs11:id=$(sed 's/../%&/g' <<<"$key_id");type=private"
detail "key \"$key_label\", $key_uri"
detail "$(openssl x509 -in certificate.pem -noout -subject)"

# Records a verifier's verdict; a verifier that says no shows why and fails the demo at its end.
record() {
    local tool=$1 file=$2 log=$3
    shift 3
    if "$@" >"$log" 2>&1; then
        results+=("$tool|$file|yes")
    else
        results+=("$tool|$file|no")
        all_verified=no
        echo "    $tool: the signature of $file does not verify" >&2
        show_tail "the verifier" "$log" >&2
    fi
}

engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
printf "Write-Output 'Signed through Quillet'\r\n" >demo.ps1
step "Signing demo.ps1 with osslsigncode through the pkcs11 engine"
run_tool osslsigncode.txt osslsigncode sign -pkcs11engine "$engine" -pkcs11module "$module" \
    -certs certificate.pem -key "$key_uri" -h sha256 -in demo.ps1 -out demo-signed.ps1 ||
    fail "osslsigncode did not sign" "osslsigncode" osslsigncode.txt "the module's log" "$(program_log osslsigncode)"
# The certificate is self-signed: it is its own trust anchor.
verified_script() {
    local output status=0
    output=$(osslsigncode verify -CAfile certificate.pem -in demo-signed.ps1 2>&1) || status=$?
    echo "$output"
    [ "$status" -eq 0 ] && grep -q 'Signature verification: ok' <<<"$output"
}
record osslsigncode demo.ps1 osslsigncode-verify.txt verified_script

echo "A message signed through the Veltora service" >message.txt
step "Signing message.txt with openssl dgst through the pkcs11 engine ($key_uri)"
PKCS11_MODULE_PATH=$module run_tool openssl.txt \
    openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$key_uri" -out message.openssl.sig message.txt ||
    fail "openssl did not sign" "openssl" openssl.txt "the module's log" "$(program_log openssl)"
record openssl message.txt openssl-verify.txt \
    openssl dgst -sha256 -verify public-key.pem -signature message.openssl.sig message.txt

step "Signing message.txt with pkcs11-tool (SHA256-RSA-PKCS)"
run_tool pkcs11-tool.txt pkcs11-tool --module "$module" --id "$key_id" --sign -m SHA256-RSA-PKCS \
    -i message.txt -o message.pkcs11-tool.sig ||
    fail "pkcs11-tool did not sign" "pkcs11-tool" pkcs11-tool.txt "the module's log" "$(program_log pkcs11-tool)"
record pkcs11-tool message.txt pkcs11-tool-verify.txt \
    openssl dgst -sha256 -verify public-key.pem -signature message.pkcs11-tool.sig message.txt

if command -v jarsigner >/dev/null && command -v jar >/dev/null && command -v keytool >/dev/null; then
    step "Signing demo.jar with jarsigner through SunPKCS11"
    mkdir jar-content
    echo "Signed through Quillet" >jar-content/hello.txt
    jar --create --file demo.jar -C jar-content . >jar.txt 2>&1 || fail "jar did not make demo.jar" "jar" jar.txt
    printf 'name = Quillet\nlibrary = "%s"\nslotListIndex = 0\n' "$module" >sunpkcs11.cfg
    # The tokens ask for no PIN; the key store still wants a password, any will do.
    env "${java_environment[@]}" timeout 120 jarsigner -keystore NONE -storetype PKCS11 \
        -addprovider SunPKCS11 -providerArg sunpkcs11.cfg -storepass none \
        -signedjar demo-signed.jar demo.jar "$key_label" >jarsigner.txt 2>&1 ||
        fail "jarsigner did not sign" "jarsigner" jarsigner.txt "the module's log" "$(program_log jarsigner)"
    # -strict turns an untrusted chain into a failure, so the self-signed certificate is the trust store.
    keytool -importcert -noprompt -keystore trust.p12 -storetype PKCS12 -storepass changeit \
        -alias signer -file certificate.pem >keytool.txt 2>&1 || fail "keytool cannot make a trust store" "keytool" keytool.txt
    record jarsigner demo.jar jarsigner-verify.txt \
        jarsigner -verify -strict -keystore trust.p12 -storepass changeit demo-signed.jar
else
    step "jarsigner: skipped: no Java (jarsigner, jar and keytool come with openjdk-17-jdk-headless)"
    results+=("jarsigner|demo.jar|skipped: no Java")
    skipped="; jarsigner skipped: no Java"
fi

step "Results"
printf '    %-14s %-13s %s\n' tool file verified
for row in "${results[@]}"; do
    IFS='|' read -r tool file verdict <<<"$row"
    printf '    %-14s %-13s %s\n' "$tool" "$file" "$verdict"
done

# ---- quitting -------------------------------------------------------------------------------------

step "Quitting the host with SIGTERM"
kill -TERM "$host_pid"
host_ended() { ! kill -0 "$host_pid" 2>/dev/null; }
# Watching the demo's own process: only the time limit ends this wait.
wait_until 30 "$$" host_ended || fail "the host did not quit within 30 s" "the host's log" \
    "$(program_log VeltoraCryptoTokenKit)"
host_status=0
wait "$host_pid" || host_status=$?
unset "children[$host_index]"
[ "$host_status" -eq 0 ] || fail "the host exited with status $host_status" "the host's output" "$work/host.err" \
    "the host's log" "$(program_log VeltoraCryptoTokenKit)"
registrations=$(find "$VELTORA_TOKEN_STORE" -type f | wc -l)
run_tool slots.txt pkcs11-tool --module "$module" --list-token-slots || true
tokens=$(grep -c 'token label' slots.txt || true)
detail "the host exited with status 0; registrations left: $registrations; tokens the module shows: $tokens"
[ "$registrations" -eq 0 ] && [ "$tokens" -eq 0 ] ||
    fail "the host left tokens behind" "pkcs11-tool --list-token-slots" slots.txt

if [ "$all_verified" = yes ]; then
    step "Done: every signature verified${skipped:-}"
else
    fail "a signature did not verify (see the table)"
fi

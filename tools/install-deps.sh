#!/bin/sh
# Installs, from Debian's archive, whatever the build and the tests need and
# this machine lacks; the PowerShell grammar (a WebAssembly parser: nothing is
# compiled) and GitHub's workflow parser from the npm registry; and, where the .NET SDK is
# present, PowerShell 7 as a local .NET tool and Pester from NuGet, both at
# the versions the project pins. Safe to run again: what is installed is left
# alone.
set -e
here=$(cd "$(dirname "$0")" && pwd)
packages="cmake make g++ googletest mingw-w64 wine wine64 python3-pefile osslsigncode openssl softhsm2 libengine-pkcs11-openssl clang libclang-rt-14-dev"
missing=""
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
# Any Node.js with npm will do; Debian's comes as two packages.
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
fi

checker="$here/workflow-check"
if [ ! -f "$checker/node_modules/@actions/workflow-parser/package.json" ]; then
    echo "Installing GitHub's workflow parser (npm ci)"
    (cd "$checker" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi

grammar="$here/powershell-syntax"
if [ ! -f "$grammar/node_modules/tree-sitter-powershell/tree-sitter-powershell.wasm" ] ||
    [ ! -f "$grammar/node_modules/web-tree-sitter/package.json" ]; then
    echo "Installing the PowerShell grammar (npm ci)"
    (cd "$grammar" && npm ci --ignore-scripts --omit=peer --no-audit --no-fund --loglevel=error)
fi

# PowerShell and Pester for the deployment scripts' tests; test.sh says so
# when they cannot be had.
if command -v dotnet >/dev/null 2>&1; then
    top=$(dirname "$here")
    (cd "$top" && dotnet tool restore >/dev/null) || echo "install-deps.sh: dotnet tool restore failed" >&2
    if ! ls "$here"/pester/packages/pester/*/tools/Pester.psd1 >/dev/null 2>&1; then
        echo "Installing Pester (dotnet restore)"
        dotnet restore "$here/pester/Pester.csproj" --packages "$here/pester/packages" >/dev/null ||
            echo "install-deps.sh: the Pester restore failed" >&2
    fi
fi

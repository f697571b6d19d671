#!/bin/sh
# Installs, from Debian's archive, whatever the build and the tests need and
# this machine lacks. Safe to run again: installed packages are left alone.
set -e
packages="cmake make g++ googletest mingw-w64 wine wine64 python3-pefile osslsigncode openssl clang libclang-rt-14-dev"
missing=""
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null

#!/usr/bin/env bash
# The tuning page's tests in Debian's chromium, driven by playwright-core from
# npm (no browser download: playwright-core is told to use /usr/bin/chromium).
# Needs a built veskar: $VESKAR, or build/bin/veskar of the checkout.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
export VESKAR="${VESKAR:-$root/build/bin/veskar}"

missing=()
for package in chromium openimageio-tools; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
# Node.js and npm come with the machine; Debian's serve where they do not.
if ! command -v node >/dev/null 2>&1; then
    missing+=(nodejs)
fi
if ! command -v npm >/dev/null 2>&1; then
    missing+=(npm)
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cd "$here"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
node --test --test-concurrency=1 safety.test.mjs page.test.mjs

#!/usr/bin/env bash
# The tuning page's tests in Debian's chromium, driven by playwright-core from
# npm (no browser download: playwright-core is told to use /usr/bin/chromium).
# Needs a built veskar: $VESKAR, or build/bin/veskar of the checkout.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
export VESKAR="${VESKAR:-$root/build/bin/veskar}"

# Node.js and npm come with the machine; Debian's serve where they do not.
extra=(chromium openimageio-tools)
command -v node >/dev/null 2>&1 || extra+=(nodejs)
command -v npm >/dev/null 2>&1 || extra+=(npm)
bash "$root/scripts/deps.sh" "${extra[@]}"

cd "$here"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
node --test --test-concurrency=1 safety.test.mjs page.test.mjs workspace.test.mjs sampling.test.mjs

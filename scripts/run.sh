#!/usr/bin/env bash
# Sets up the machine, builds, and starts QingLuan. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
exec build/cli/qlfind "$@"

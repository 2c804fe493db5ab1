#!/usr/bin/env bash
# Installs the Debian packages only the benchmark needs (SQLite and libzip to compare the
# containers against, ffmpeg to compare project check against), and only those missing.
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash scripts/setup.sh libsqlite3-dev libzip-dev ffmpeg

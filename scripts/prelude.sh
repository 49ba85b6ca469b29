# Sourced by the run-*.sh and build-release.sh scripts: strict mode, the repository root as the
# working folder, the standard build tree, and the steps they share.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export QUILLA_BUILD_DIR="$root/build"

# Installs what is missing on this machine, then configures and builds the standard build tree.
quilla_setup_and_build() {
    bash scripts/setup.sh
    bash scripts/build.sh "$QUILLA_BUILD_DIR"
}

# Runs a command on a virtual display of its own: Wine's windows need one.
quilla_with_display() {
    xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
}

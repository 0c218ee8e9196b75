#!/usr/bin/env bash
# A longer fuzzing campaign: each target in turn for SECONDS (default 300), starting
# from the committed corpus (fuzz/corpus/<target>) and what earlier runs found
# (build/fuzz/corpus/<target>), then the figures of the campaign.
#
#   scripts/fuzz-long.sh [SECONDS [TARGET...]]
#
#   FUZZ_SEED=n   the seed (default: the current time, printed, so a campaign explores
#                 anew and can still be repeated)
#   FUZZ_JOBS=n   processes per target (default 1; this machine has 2 cores)
#
# A fault stops that target and leaves the input in build/fuzz/artifacts/; replay it
# with build/fuzz/<target>_fuzz build/fuzz/artifacts/<file>. To keep what a campaign
# found, merge it into the committed corpus (only inputs that add coverage are taken):
#   build/fuzz/<target>_fuzz -merge=1 fuzz/corpus/<target> build/fuzz/corpus/<target>
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-300}
shift || true
export FUZZ_SEED=${FUZZ_SEED:-$(date +%s)}
echo "fuzz campaign: ${seconds}s per target, seed $FUZZ_SEED"
start=$(date +%s)
mkdir -p build
scripts/fuzz.sh "$seconds" "$@" | tee build/fuzz-campaign.log
status=${PIPESTATUS[0]}
echo
echo "== campaign of $(( $(date +%s) - start ))s, seed $FUZZ_SEED"
grep -E '^fuzz [a-z_]+: ' build/fuzz-campaign.log
exit "$status"

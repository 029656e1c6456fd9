#!/usr/bin/env bash
# Longer runs of the integrity campaigns than the suite's short ones, with the tests of faults
# still being mended switched on (they skip in the suite):
#   scripts/campaigns.sh crash N        N kill points of the crash campaign (default 200)
#   scripts/campaigns.sh shared SECONDS four processes on one shared table for SECONDS (default 120)
# Builds the default preset's campaign programs first; exits non-zero when a campaign fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
what="${1:-}"
bash scripts/build.sh default vdb campaign_writer CrashCampaign_test SharedCampaign_test >/dev/null
export VDB_CAMPAIGN_KNOWN_FAULTS=1
case "$what" in
  crash)
    VDB_CRASH_KILLS="${2:-200}" VDB_CRASH_SEED="${VDB_CRASH_SEED:-$RANDOM}" \
      build/default/tests/CrashCampaign_test --gtest_filter='*Killed*'
    ;;
  shared)
    VDB_SHARED_SECONDS="${2:-120}" build/default/tests/SharedCampaign_test
    ;;
  *)
    echo "usage: scripts/campaigns.sh crash [KILLS] | shared [SECONDS]" >&2
    exit 2
    ;;
esac

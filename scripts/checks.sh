# Sourced by the test scripts: one line per check, counted, and the summary line
# "N passed, M failed, K skipped". A check that cannot run here is a skip with the reason.
passed=0
failed=0
skipped=0
pass() { echo "PASS  $*"; passed=$((passed + 1)); }
fail() { echo "FAIL  $*"; failed=$((failed + 1)); }
skip() { echo "SKIP  $*"; skipped=$((skipped + 1)); }
summary() { echo "$passed passed, $failed failed, $skipped skipped"; }

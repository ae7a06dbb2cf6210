#!/usr/bin/env bash
# The tests that process on one thread while another automates parameters,
# switches programs and reads texts (and, for the VST 3 module, saves and
# restores its state), under the thread sanitizer: any data
# race it reports fails the step. Builds only those tests.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/deps.sh
./scripts/deps.sh libtsan2

cmake --preset tsan >/dev/null
cmake --build --preset tsan
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! ctest --preset tsan 2>&1 | tee "$log"; then
  # Kernels with more address-space randomisation than the sanitizer's
  # runtime expects stop it before main; rerun with randomisation off.
  if grep -q "unexpected memory mapping" "$log"; then
    echo "tsan: the runtime rejected the address layout; rerunning without randomisation"
    setarch "$(uname -m)" -R ctest --preset tsan
  else
    exit 1
  fi
fi
echo "tsan: concurrent automation, delay-change and VST 3 state tests ran with no reports"

#!/usr/bin/env bash
# Installs what the build needs, builds every preset and runs every test suite.
# Ends with one line "N passed, N failed"; the exit code is non-zero when anything failed.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format clang-tidy cppcheck googletest mingw-w64
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 pkg-config python3 tshark)
# The lobby server, its tests and its demo; GnuTLS for Wine's TLS, which the Windows relay uses.
packages+=(openssl libboost-dev libssl-dev libsqlite3-dev libhiredis-dev libsodium-dev redis-server
           libgnutls30:amd64)
# The lobby's operator side and meetpoint's page: JSON, promtool for the lobby's metrics.
packages+=(nlohmann-json3-dev prometheus)
./tools/install-missing.sh "${packages[@]}" || { echo "0 passed, 1 failed"; exit 1; }
# The browser tests' Debian chromium, Node.js and npm packages (tests/browser/package-lock.json).
if ! ./tests/browser/install.sh; then
  echo "!! chromium or the browser tests' npm packages could not be installed"
  echo "0 passed, 1 failed"
  exit 1
fi

passed=0
failed=0
skipped=0
# 32-bit Wine runs the windows-x86 suites. On a kernel that runs no 32-bit programs, the tests
# that need Wine there are skipped and counted as such.
./tools/install-wine32.sh
wine32=$?
if [ "$wine32" -eq 1 ]; then
  echo "!! 32-bit Wine could not be installed"
  failed=$((failed + 1))
fi
# linux-asan and linux-tsan run the whole Linux suite again under the sanitizers.
presets=(linux linux-asan linux-tsan windows-x64 windows-x86)

for preset in "${presets[@]}"; do
  echo "== build $preset"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j 2; }; then
    echo "!! build of $preset failed"
    failed=$((failed + 1))
    continue
  fi
  echo "== test $preset"
  log="$root/build/$preset/ctest-summary.log"
  filter=()
  if [ "$preset" = windows-x86 ] && [ "$wine32" -ne 0 ]; then
    filter=(-LE wine)
    n=$(ctest --preset "$preset" -N -L wine | sed -n 's/^Total Tests: //p')
    echo "   skipping the $n tests that need 32-bit Wine"
    skipped=$((skipped + n))
  fi
  started=$SECONDS
  ctest --preset "$preset" --timeout 120 "${filter[@]}" 2>&1 | tee "$log" |
    grep -E "Test +#|tests passed|FAILED|Failed|\*\*\*"
  echo "   $preset took $((SECONDS - started)) s"
  summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "!! ctest of $preset gave no summary"
    failed=$((failed + 1))
    continue
  fi
  nfail=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  total=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/')
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
done

# Formatting and static checks, on the linux build's compile database.
echo "== style and static checks"
style=$(./tools/check-style.sh 2>&1)
echo "$style"
passed=$((passed + $(grep -c '^PASS ' <<<"$style")))
failed=$((failed + $(grep -c '^FAIL ' <<<"$style")))

# The demos end to end, each run one test: the game and meetpoint on Linux and with the game
# under Wine (64-bit and 32-bit); two games meeting on a lobby server, on Linux and with Windows
# games and meetpoints under Wine. The files each leaves are checked, per player for the lobby.
for mode in linux windows windows-x86 lobby lobby-windows; do
  echo "== demo $mode"
  case "$mode" in
    linux) flag=() ;;
    windows) flag=(--windows) ;;
    windows-x86) flag=(--windows --x86) ;;
    lobby) flag=(--lobby) ;;
    lobby-windows) flag=(--lobby --windows) ;;
  esac
  folders=("$root/demo-output/$mode")
  [ "${flag[0]:-}" = --lobby ] && folders=("$root/demo-output/$mode/ada" "$root/demo-output/$mode/cleo")
  if [ "$mode" = windows-x86 ] && [ "$wine32" -ne 0 ]; then
    echo "   skipped: no 32-bit Wine"
    skipped=$((skipped + 1))
    continue
  fi
  ok=0
  ./tools/demo.sh "${flag[@]}" >"$root/build/demo-$mode.log" 2>&1 || ok=1
  for folder in "${folders[@]}"; do
    [ "$ok" -eq 0 ] && { ./tests/check_demo_output.sh "$folder" || ok=1; }
  done
  if [ "$ok" -eq 0 ]; then
    echo "   demo $mode passed"
    passed=$((passed + 1))
  else
    echo "!! demo $mode failed (its output: build/demo-$mode.log)"
    failed=$((failed + 1))
  fi
done

# The lobby under load, in a short run that checks that the load tool, the fan-out floor and
# the server work together and lose nothing (its figures are not checked: BENCHMARKS.md).
echo "== lobby load, quick"
if ./tools/lobby-load.sh --quick >"$root/build/lobby-load-quick.log" 2>&1; then
  echo "   lobby load passed"
  passed=$((passed + 1))
else
  echo "!! lobby load failed (its output: build/lobby-load-quick.log)"
  failed=$((failed + 1))
fi

if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]

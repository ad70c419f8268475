#!/usr/bin/env bash
# Formatting and static checks. Prints one line per check ("PASS name" or "FAIL name") and
# exits non-zero when any check found something. Needs the linux build's compile database
# (cmake --preset linux).
set -u
cd "$(dirname "$0")/.."

library=(exports session msgthread tcplibrary log platform)
failed=0
check() {  # check NAME COMMAND...: runs the command, keeps its output for a failure
  local name=$1
  shift
  local out
  if out=$("$@" 2>&1); then
    echo "PASS $name"
  else
    echo "FAIL $name"
    echo "$out" | head -n 60
    failed=1
  fi
}

mapfile -t sources < <(git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' | grep -v '^build/')
check clang-format clang-format --dry-run --Werror "${sources[@]}"

mapfile -t posix < <(git ls-files -co --exclude-standard -- "${library[@]/%//*.cpp}" |
                     grep -v -e platform/windows/ -e exports/entry.cpp)
check clang-tidy clang-tidy -p build/linux --quiet "${posix[@]}" exports/entry.cpp

# The Windows-only sources, read with the mingw-w64 headers of the compiler the build uses.
mingw=/usr/lib/gcc/x86_64-w64-mingw32/$(x86_64-w64-mingw32-g++-posix -dumpversion)/include/c++
check clang-tidy-windows clang-tidy --quiet platform/windows/platform_win.cpp exports/entry.cpp -- \
  --target=x86_64-w64-mingw32 -std=c++17 -I. -Iexports -Ibuild/linux/generated \
  -isystem "$mingw" -isystem "$mingw/x86_64-w64-mingw32" -isystem /usr/x86_64-w64-mingw32/include

check cppcheck cppcheck --enable=warning,style,performance,portability --suppress=useStlAlgorithm \
  --inline-suppr --std=c++17 --quiet --error-exitcode=1 -I . -I exports -I build/linux/generated \
  "${library[@]}"

exit $failed

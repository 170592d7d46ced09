#!/usr/bin/env bash
# Every source of the product's folders compiles for Windows: MinGW-w64's cross compiler, syntax
# only, against the Qt headers and the build's generated files (moc output, base/version.h), with
# the defines and include folders the build gives each file. No Qt for Windows is packaged
# here, so nothing is linked or run. Fails on any error or warning.
# check_windows.sh BUILD_DIR SOURCE_DIR
#
# No define is added for Qt: its headers take the Windows path from the compiler's own _WIN32
# (qsystemdetection.h gives Q_OS_WIN), and what its Linux-configured qconfig.h says does not
# get in the way of these sources. Left out of the build's flags: libsystemd's define and Qt's
# Linux mkspec folder, both found on this machine only.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
cxx=x86_64-w64-mingw32-g++-posix  # the posix thread model: std::thread and std::mutex
if ! command -v "$cxx" >/dev/null; then
    echo "$cxx not found (scripts/install-deps.sh installs g++-mingw-w64-x86-64-posix)"
    exit 1
fi
out=$build/windows-check
cmake -DBUILD="$build" -DSOURCE="$source" -DOUT="$out" -P "$source/tests/windows_args.cmake"

# Every source on disk is in the build, so every one is checked.
missing=$(comm -23 <(cd "$source" && find base link records core components ui app -maxdepth 1 \
                     -name '*.cpp' | sort) <(sort "$out/sources.txt"))
if [[ -n $missing ]]; then
    echo "Not in the build's compile_commands.json, so not checked:"
    echo "$missing"
    exit 1
fi

flags="-std=c++20 -fsyntax-only -Wall -Wextra -Werror"
# Qt sees a Windows compile, or the check would prove nothing.
printf '%s\n' '#include <QtGlobal>' '#if !defined(Q_OS_WIN) || defined(Q_OS_LINUX)' \
    '#error "Qt does not see Windows"' '#endif' >"$out/probe.cpp"
"$cxx" $flags @"$out/qt.rsp" "$out/probe.cpp"

compile() {  # one response file; the compiler's messages go to a log beside it
    if "$cxx" $flags @"$1" >"${1%.rsp}.log" 2>&1; then
        echo "ok    $(basename "${1%.rsp}" | sed 's/__/\//g')"
    else
        echo "FAIL  $(basename "${1%.rsp}" | sed 's/__/\//g')"
        return 1
    fi
}
export -f compile
export cxx flags
status=0
find "$out" -name '*.rsp' ! -name qt.rsp -print0 | sort -z |
    xargs -0 -P2 -n1 bash -c 'compile "$1"' _ || status=1
for log in "$out"/*.log; do
    if [[ -s $log ]]; then
        echo "--- $(basename "$log" .log | sed 's/__/\//g') ($log)"
        head -n 60 "$log"
    fi
done
echo "$(wc -l <"$out/sources.txt") sources checked for Windows with $("$cxx" -dumpversion)"
exit $status

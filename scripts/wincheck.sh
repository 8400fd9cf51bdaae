#!/usr/bin/env bash
# Windows x64 cross-build check; any error fails it.   scripts/wincheck.sh [work dir]
#  1. mingw-w64 compiles every C++ source of both modules, the toolkit and the toolkit's test
#     module against CPython 3.11's own Windows headers, with <windows.h> in front so that a name
#     it defines as a macro fails here and not on a user's machine;
#  2. links each module as a DLL against only what python311.dll exports, and checks that it
#     exports nothing but its PyInit_*;
#  3. preprocesses every source as MSVC's Debug configuration: none may turn on Py_DEBUG
#     (which asks for python311_d.lib and the debug interpreter);
#  4. configures the Debug link for Windows: with the interpreter's debug binaries installed or
#     not, a Debug build is handed the release python311.lib that pyconfig.h asks for.
set -euo pipefail
cd "$(dirname "$0")/.."
W=$(realpath -m "${1:-build/wincheck}")
JOBS=${JOBS:-4}
PY=$W/cpython
T0=${EPOCHREALTIME/./}
stamp() {
    local t=${EPOCHREALTIME/./}
    printf 'wincheck: %-8s %3d.%d s\n' "$1" $(((t - T0) / 1000000)) $(((t - T0) / 100000 % 10))
    T0=$t
}
mkdir -p "$W"

# CPython's Windows headers (Include/, PC/pyconfig.h) from the upstream tarball of Debian's
# python3.11 source package, through a private deb-src list and private apt state under $W: the
# machine's apt configuration is left alone. Fetched once, then reused.
if [ ! -f "$PY/PC/pyconfig.h" ]; then
    A=$W/apt
    mkdir -p "$A/lists/partial" "$A/cache/archives/partial" "$A/src" "$PY"
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$A/deb-src.sources"
    apt=(apt-get -q -o Dir::Etc::sourcelist="$A/deb-src.sources" -o Dir::Etc::sourceparts=-
         -o Dir::State::Lists="$A/lists" -o Dir::Cache="$A/cache" -o APT::Sandbox::User="$(id -un)")
    "${apt[@]}" update >/dev/null
    (cd "$A/src" && "${apt[@]}" source --download-only --tar-only python3.11 >/dev/null)
    tar -xf "$A"/src/python3.11_*.orig.tar.* -C "$PY" --strip-components=1 \
        --wildcards '*/Include/*' '*/PC/pyconfig.h'
    rm -rf "$A"
fi
stamp fetch

# An import library of python311.dll holding just the names its public headers declare
# (Include/internal left out): anything else is private to the interpreter, and the link fails.
{
    echo "LIBRARY python311.dll"
    echo "EXPORTS"
    find "$PY/Include" -path "$PY/Include/internal" -prune -o -name '*.h' -print0 |
        xargs -0 perl -0777 -ne 's{/\*.*?\*/}{}gs; s{^\s*#.*$}{}mg;
            print "$2", ($1 eq "DATA" ? " DATA" : ""), "\n"
                while /\bPyAPI_(FUNC|DATA)\s*\((?:[^()]|\([^()]*\))*\)\s*(\w+)/g' | sort -u
} >"$W/python311.def"
x86_64-w64-mingw32-dlltool -d "$W/python311.def" -l "$W/libpython311.a"

mkdir -p "$W/include"
ln -sfn /usr/include/pybind11 "$W/include/pybind11"   # pybind11 alone, not the rest of /usr/include
export W PY
own() {  # a source's module directory first on its include path, and the module's definitions
    case $1 in
        remote/*) echo "-Iremote -DQYB_MSVCRT_MODULE=\"msvcrt\"" ;;
        moment/*) echo "-Imoment" ;;
    esac
}
compile() {
    mkdir -p "$(dirname "$W/obj/$1")"
    # shellcheck disable=SC2046
    x86_64-w64-mingw32-g++-posix -std=c++20 -O0 -fvisibility=hidden -DMS_WIN64 -DNOMINMAX \
        -Wall -Wextra -Wno-missing-field-initializers -include windows.h \
        -Itoolkit/include -I"$W/include" -I"$PY/Include" -I"$PY/PC" $(own "$1") \
        -c "$1" -o "$W/obj/${1%.cpp}.o"
}
export -f own compile
SOURCES=(toolkit/src/*.cpp remote/*/*.cpp moment/*.cpp tests/toolkit/test_function.cpp)
rm -rf "$W/obj"   # every source is compiled anew; an object left by a removed source must not link
printf '%s\n' "${SOURCES[@]}" | xargs -P"$JOBS" -n1 bash -c 'compile "$1"' -
stamp compile

link() {  # link <module> <objects>: a DLL with nothing unresolved, exporting PyInit_<module> only
    local name=$1 out=$W/$1.pyd exports
    shift
    x86_64-w64-mingw32-g++-posix -shared -static -o "$out" "$@" "$W"/obj/toolkit/src/*.o \
        "$W/libpython311.a" -Wl,--no-undefined
    exports=$(x86_64-w64-mingw32-objdump -p "$out" |
        sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p')
    if [ "$exports" != "PyInit_$name" ]; then
        echo "wincheck: $name.pyd exports" $exports "(PyInit_$name only expected)" >&2
        return 1
    fi
}
link remote "$W"/obj/remote/*/*.o & r=$!
link moment "$W"/obj/moment/*.o & m=$!
link _toolkit_test "$W"/obj/tests/toolkit/test_function.o & t=$!
# Each waited for on its own: under set -e a failure inside an && list would not stop the check.
linked=0
for job in $r $m $t; do
    wait "$job" || linked=1
done
[ "$linked" -eq 0 ]
stamp link

# The MSVC Debug configuration, preprocessed: CPython's pyconfig.h turns _DEBUG into Py_DEBUG
# (and python311_d.lib) unless pybind11 hid _DEBUG first, so no source may end with Py_DEBUG on.
# (yvals.h belongs to MSVC's library; pybind11 includes it there, and here it need only exist.)
mkdir -p "$W/msvc"
: >"$W/msvc/yvals.h"
debug_off() {
    local macros
    # shellcheck disable=SC2046
    macros=$(x86_64-w64-mingw32-g++-posix -std=c++20 -D_MSC_VER=1938 -D_DEBUG -E -dM \
        -Itoolkit/include -I"$W/include" -I"$PY/Include" -I"$PY/PC" -I"$W/msvc" $(own "$1") "$1") || return 1
    if grep -q '^#define Py_DEBUG\b' <<<"$macros"; then
        echo "wincheck: $1: <Python.h> before qyb/python.h turns on Py_DEBUG in a Debug build" >&2
        return 1
    fi
}
export -f debug_off
printf '%s\n' "${SOURCES[@]}" | xargs -P"$JOBS" -n1 bash -c 'debug_off "$1"' -
stamp debug

# The import target as CMake 3.25's FindPython makes it on Windows, with the debug binaries
# installed (RELEASE and DEBUG) and without (one library), under the mapping that CMakeLists.txt
# applies; each configuration writes the import library it links.
grep -q '^  qyb_link_release_python(Python::Module)$' CMakeLists.txt ||
    { echo "wincheck: CMakeLists.txt no longer maps the Debug link of Python::Module" >&2; exit 1; }
D=$W/debuglink
rm -rf "$D"
mkdir -p "$D"
cat >"$D/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(debuglink NONE)
include("$PWD/cmake/ReleasePython.cmake")
add_library(with_debug SHARED IMPORTED)
set_property(TARGET with_debug PROPERTY IMPORTED_CONFIGURATIONS RELEASE DEBUG)
set_target_properties(with_debug PROPERTIES
  IMPORTED_IMPLIB_RELEASE C:/Python311/libs/python311.lib IMPORTED_LOCATION_RELEASE C:/Python311/python311.dll
  IMPORTED_IMPLIB_DEBUG C:/Python311/libs/python311_d.lib IMPORTED_LOCATION_DEBUG C:/Python311/python311_d.dll)
add_library(release_only SHARED IMPORTED)
set_target_properties(release_only PROPERTIES
  IMPORTED_IMPLIB C:/Python311/libs/python311.lib IMPORTED_LOCATION C:/Python311/python311.dll)
qyb_link_release_python(with_debug)
qyb_link_release_python(release_only)
file(GENERATE OUTPUT "\${CMAKE_BINARY_DIR}/\$<CONFIG>.txt"
  CONTENT "\$<TARGET_LINKER_FILE:with_debug>\n\$<TARGET_LINKER_FILE:release_only>\n")
EOF
for config in Debug Release RelWithDebInfo; do
    cmake -S "$D" -B "$D/$config" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_BUILD_TYPE=$config >/dev/null
    if [ "$(sort -u "$D/$config/$config.txt")" != "C:/Python311/libs/python311.lib" ]; then
        echo "wincheck: a $config build links" $(cat "$D/$config/$config.txt") "(python311.lib expected)" >&2
        exit 1
    fi
done
stamp debuglib

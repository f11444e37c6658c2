#!/bin/sh
# Programs built the way users of an installed Parley build them:
#   1. cmake --install of BUILD-DIR into a temporary prefix; a C host built
#      with pkg-config and a C++ program built with find_package(Parley)
#      (asking for C++14 only, and including every installed header), both
#      against that prefix only, run against the test Prosody; the installed
#      parley-chat starts without LD_LIBRARY_PATH, and mpv loads the installed
#      plugin, which finds the library there;
#   2. as root: the Debian packages built (scripts/package deb, with their
#      unit tests and lintian), installed, the C host and the C++ program
#      built against the system copy and run, and the packages removed again.
#   tests/consumers/run.sh BUILD-DIR
set -eu
cd "$(dirname "$0")/../.."
build=$1
here=tests/consumers
work=$(mktemp -d /tmp/parley-consumers.XXXXXX)
packages_installed=no
cleanup() {
  if [ "$packages_installed" = yes ]; then
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -q parley-mpv parley-chat libparley-dev libparley1 \
      >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

if [ "$(id -u)" -eq 0 ]; then
  in_testenv() { scripts/testenv exec "$@"; }
else
  in_testenv() { echo "consumers: not root, so $1 is built but not run" >&2; }
fi
# Registers USER, logs in over STARTTLS and joins a room, as the C host does.
run_host() {  # program user [environment...]
  program=$1
  user=$2
  shift 2
  in_testenv env "$@" sh -c 'exec timeout 60 "$0" tls.test "$1" secret lobby "$PARLEY_TEST_CA"' "$program" "$user"
}

prefix=$work/prefix
echo "== consumers: cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name parley.pc)")
fail() { echo "consumers: $*" >&2; exit 1; }
[ -f "$prefix/share/doc/parley/LICENSE" ] || fail "the licence is not installed"
# Internal headers stay out of the install tree.
for internal in transport/Platform.h client/Hmac.h client/MD5.h transport/TLSOpenSSL.h; do
  [ ! -e "$prefix/include/parley/$internal" ] || fail "internal header $internal installed"
done
# Found through its RUNPATH: no ldconfig, no LD_LIBRARY_PATH.
status=0
env -u LD_LIBRARY_PATH "$prefix/bin/parley-chat" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "the installed parley-chat does not start (exit $status)"
# The mpv plugin loads from the prefix and finds the library there.
mpv_plugin_loads() {  # plugin
  out=$(env -u LD_LIBRARY_PATH -u DISPLAY timeout 30 mpv --no-config --vo=null --ao=null --frames=1 \
    --script="$1" av://lavfi:testsrc 2>&1 || true)
  echo "$out" | grep -q '^\[parley\] not logging in: set parley-server' || fail "the mpv plugin $1 did not load: $out"
}
plugin=$(find "$prefix" -path '*/parley/mpv/parley.so')
if command -v mpv >/dev/null && [ -n "$plugin" ]; then mpv_plugin_loads "$plugin"; fi

echo "== consumers: pkg-config files for absolute library and include folders"
cmake -DPARLEY_PC_IN=cmake/package/parley-core.pc.in -DPARLEY_PC_OUT="$work/abs.pc" -DPARLEY_PC_PREFIX=/usr \
  -DPARLEY_PC_LIBDIR=/opt/parley/lib -DPARLEY_PC_INCLUDEDIR=/opt/parley/include -DPARLEY_PC_VERSION=1 \
  -P cmake/package/WritePkgConfig.cmake
[ "$(PKG_CONFIG_LIBDIR="$work" pkg-config --variable=libdir abs)" = /opt/parley/lib ] &&
  [ "$(PKG_CONFIG_LIBDIR="$work" pkg-config --variable=includedir abs)" = /opt/parley/include ] ||
  fail "absolute folders in the .pc files: $(grep dir= "$work/abs.pc" | tr '\n' ' ')"

echo "== consumers: a C host through pkg-config"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/c-host" "$here/host.c" \
  $(PKG_CONFIG_LIBDIR="$pcdir" pkg-config --cflags --libs parley)
run_host "$work/c-host" "pcuser$$" LD_LIBRARY_PATH="$(dirname "$pcdir")"

echo "== consumers: a C++ program through find_package(Parley) and Parley::core"
cmake -S "$here/cxx" -B "$work/cxx" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON >/dev/null
cmake --build "$work/cxx" >/dev/null
# The same headers through pkg-config, which names <prefix>/include alone;
# the same program linked through it as users link it, without --static
# (the library is static only: its .pc says what it needs in Libs).
# shellcheck disable=SC2046
c++ -std=c++17 -fsyntax-only $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags parley-core) "$work/cxx/all_headers.cpp"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/cxx-pc" "$here/cxx/main.cpp" $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs parley-core) ||
  fail "parley-core does not link through pkg-config --libs"
# The account the C host registered.
in_testenv sh -c 'exec timeout 60 "$0" "$1@tls.test/cxx" secret "lobby@conference.tls.test/$1-cxx" "$PARLEY_TEST_CA"' \
  "$work/cxx/consumer-room" "pcuser$$"

[ "$(id -u)" -eq 0 ] || exit 0
echo "== consumers: the Debian packages"
scripts/package deb "$work/debs"
packages_installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$work"/debs/libparley1_*.deb "$work"/debs/libparley-dev_*.deb \
  "$work"/debs/parley-chat_*.deb "$work"/debs/parley-mpv_*.deb >/dev/null
echo "== consumers: a C host and a C++ program against the installed packages"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/c-host-system" "$here/host.c" $(pkg-config --cflags --libs parley)
run_host "$work/c-host-system" "debuser$$"
cmake -S "$here/cxx" -B "$work/cxx-system" -G Ninja -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON >/dev/null
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/cxx-pc-system" "$here/cxx/main.cpp" $(pkg-config --cflags --libs parley-core) ||
  fail "the installed parley-core does not link through pkg-config --libs"
cmake --build "$work/cxx-system" >/dev/null
in_testenv sh -c 'exec timeout 60 "$0" "$1@tls.test/cxx" secret "lobby@conference.tls.test/$1-cxx" "$PARLEY_TEST_CA"' \
  "$work/cxx-system/consumer-room" "debuser$$"
status=0
parley-chat >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "the installed parley-chat did not print its usage"
[ "$(dpkg -S /usr/bin/parley-chat | cut -d: -f1)" = parley-chat ] || fail "parley-chat is not in its own package"
system_plugin=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/parley/mpv/parley.so
[ "$(dpkg -S "$system_plugin" | cut -d: -f1)" = parley-mpv ] || fail "the mpv plugin is not in parley-mpv"
mpv_plugin_loads "$system_plugin"
echo "== consumers: removing the Debian packages"
DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -q parley-mpv parley-chat libparley-dev libparley1 >/dev/null
packages_installed=no

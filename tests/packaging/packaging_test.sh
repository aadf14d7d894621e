#!/usr/bin/env bash
# Tests of the installed tree and the Debian package, run from the build tree:
#   packaging_test.sh install <layout.sh>   staged install: files, libraries, a
#                                            staged server reached through the staged driver
#   packaging_test.sh package <layout.sh>   the .deb: contents, control data, and
#                                            install, upgrade, removal and purge by dpkg
#                                            in a private root with a private odbcinst.ini
#   packaging_test.sh units <layout.sh>     systemd-analyze on the staged units
# Everything happens in a private directory; nothing outside it is touched
# (ODBCSYSINI, ODBCINI, KYVEK_REGISTRY and DPKG_ROOT point into it). Exit 77: skipped.
set -uo pipefail

part=$1
# shellcheck source=/dev/null
source "$2"

work=$(mktemp -d /tmp/kyvek-packaging-XXXXXX)
stage=$work/stage
failures=0
server_pid=""

cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "keeping $work for inspection"; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
# Runs a command with its output in the log (shown when a check failed).
quiet() { "$@" >> "$work/commands.log" 2>&1; }
finish() {
  if [ "$failures" -ne 0 ]; then
    [ -f "$work/commands.log" ] && cat "$work/commands.log"
    echo "$failures failure(s)"
    exit 1
  fi
  echo "all passed"
  exit 0
}

stage_install() {
  if ! DESTDIR=$stage cmake --install "$build_dir" > "$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install with DESTDIR"
    finish
  fi
}

# Every file the install must place (absolute paths of the configured layout).
expected_files() {
  echo "$sbindir/kyvekserver"
  echo "$bindir/vekping"
  echo "$odbcdir/libkyvekcnt.so"
  if [ -e "$build_dir/lib/libkyvekset.so" ]; then echo "$odbcdir/libkyvekset.so"; fi
  for lib in kysupp kyrpc kycrypt; do echo "$privlibdir/lib$lib.so"; done
  echo "$registry_file"
  echo "$pamdir/kyvek"
  echo "$datadir/odbcinst.ini"
  # The setup library's help pages; the administration server's pages, style
  # sheet and images.
  if [ -d "$source_dir/setup/help" ]; then
    (cd "$source_dir/setup/help" && ls -- *.html) | sed "s|^|$datadir/|"
  fi
  if [ -d "$source_dir/server/http/templates" ]; then
    (cd "$source_dir/server/http/templates" && find . -type f) | sed "s|^\.|$datadir/templates|"
  fi
  for unit in kyvekserver.service kyvekhttpd.service kyvekserver-inetd.socket \
              kyvekserver-inetd@.service; do
    echo "$unitdir/$unit"
  done
}

is_elf() { [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = "177ELF" ]; }

# ldd of one staged file: every library found, none from the build or source
# tree, the project's own from the staged tree.
ldd_inside() {
  local f=$1 out ok=0
  out=$(env -u LD_LIBRARY_PATH -u LD_PRELOAD ldd "$f" 2>&1)
  if grep -q "not found" <<<"$out"; then echo "$out"; ok=1; fi
  if grep -qF -e "$build_dir" -e "$source_dir" <<<"$out"; then echo "$out"; ok=1; fi
  while read -r name arrow path _; do
    [ "$arrow" = "=>" ] || continue
    case $name in
      libkysupp.so | libkyrpc.so | libkycrypt.so | libkyvekset.so)
        case $path in "$stage"/*) ;; *) echo "$name => $path (outside the staged tree)"; ok=1 ;; esac ;;
    esac
  done <<<"$out"
  if readelf -d "$f" | grep -E "RUNPATH|RPATH" | grep -qF -e "$build_dir" -e "$source_dir"; then
    readelf -d "$f" | grep -E "RUNPATH|RPATH"; ok=1
  fi
  return $ok
}

run_install() {
  # The installed files name the configured prefix: another one is refused.
  check "install with another --prefix is refused" \
    bash -c '! cmake --install "$1" --prefix "$2" > /dev/null 2>&1' _ "$build_dir" "$work/elsewhere"
  check "refused install wrote nothing" test ! -e "$work/elsewhere"
  stage_install
  while read -r f; do
    check "installed $f" test -f "$stage$f"
  done < <(expected_files)

  # Under /usr the layout is Debian's: the driver in the Driver Manager's module
  # directory (the template names it without a directory), the server in sbin,
  # the configuration in /etc.
  if [ "$prefix" = /usr ]; then
    check "driver in the Driver Manager's module directory" \
      test "$odbcdir" = "$(pkg-config --variable=libdir odbc)/odbc"
    check "server in /usr/sbin" test "$sbindir" = /usr/sbin
    check "configuration in /etc/kyvek" test "$confdir" = /etc/kyvek
    check "template names the driver as Debian's templates do" \
      grep -qx "Driver *= *libkyvekcnt.so" "$stage$datadir/odbcinst.ini"
  fi

  # Text files name the installed layout, never the build tree, and every
  # placeholder is filled.
  while read -r f; do
    if is_elf "$f"; then
      check "ldd $(basename "$f") resolves inside the staged tree and the system" ldd_inside "$f"
    else
      check "$(basename "$f") names no build path" \
        bash -c '! grep -qIF -e "$1" -e "$2" "$3"' _ "$build_dir" "$source_dir" "$f"
      check "$(basename "$f") has no unfilled placeholder" \
        bash -c '! grep -qIE "@[A-Z_]+@" "$1"' _ "$f"
    fi
  done < <(find "$stage" -type f)
  check "registry names the installed Path and LogDir" \
    grep -qx "\"Path\"=\"$datadir\"" "$stage$registry_file"
  check "registry names the log directory" grep -qx "\"LogDir\"=\"$logdir\"" "$stage$registry_file"

  # The staged server on a private registry, reached through the staged driver.
  local port odbc=$work/odbc
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p "$odbc" "$work/log" "$work/run"
  sed -e "s|^\"Port\"=.*|\"Port\"=\"$port\"|" -e 's|^"Flags"=.*|"Flags"="32769"|' \
      -e "s|^\"LogDir\"=.*|\"LogDir\"=\"$work/log\"|" -e "s|^\"Path\"=.*|\"Path\"=\"$stage$datadir\"|" \
      "$stage$registry_file" > "$work/registry.reg"
  sed -e "s|^Driver *=.*|Driver = $stage$odbcdir/libkyvekcnt.so|" \
      -e "s|^Setup *=.*|Setup = $stage$odbcdir/libkyvekset.so|" \
      "$stage$datadir/odbcinst.ini" > "$work/template.ini"
  export ODBCSYSINI=$odbc ODBCINI=$odbc/user-odbc.ini KYVEK_REGISTRY=$work/registry.reg
  export KYVEK_RUNDIR=$work/run KYVEK_EVENTLOG=$work/events.log KYVEK_SHM_NAME=/kyvek-pkg-$$
  export TMPDIR=$work/log
  check "staged template registers with odbcinst" quiet odbcinst -i -d -f "$work/template.ini"
  printf '[SQLite3]\nDriver=%s\n' "$(pkg-config --variable=libdir odbc)/odbc/libsqlite3odbc.so" >> "$odbc/odbcinst.ini"
  printf '[vekdb]\nDriver=SQLite3\nDatabase=%s\n' "$work/vekdb.sqlite" > "$odbc/odbc.ini"
  printf '[kyvek]\nDriver=%s\nSERVERPORT=127.0.0.1:%s\nTARGETDSN=vekdb\n' "$odbc_driver_name" "$port" > "$ODBCINI"
  sqlite3 "$work/vekdb.sqlite" "create table t(a integer); insert into t values(4711);"

  "$stage$sbindir/kyvekserver" standalone "$port" > "$work/server.out" 2> "$work/server.err" &
  server_pid=$!
  local i
  for i in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  check "staged server listens" kill -0 "$server_pid"
  check "staged vekping reaches the server" quiet "$stage$bindir/vekping" -h 127.0.0.1 -t "$port"
  # isql is not built with the sanitizers that the driver may carry.
  echo "select a from t" | env LD_PRELOAD="${KYVEK_SANITIZER_PRELOAD:-}" ASAN_OPTIONS=detect_leaks=0 \
    isql -b kyvek > "$work/isql.out" 2>&1
  check "isql reads a row through the staged driver and server" grep -q "4711" "$work/isql.out"
  if [ "$failures" -ne 0 ]; then cat "$work/isql.out" "$work/server.err"; fi
  finish
}

run_package() {
  local out=$work/package
  # The install scripts directly: the build is complete, so no preinstall build.
  if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$out" \
         -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALL_SCRIPTS=$build_dir/cmake_install.cmake" \
         > "$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack"
    finish
  fi
  local deb
  deb=$(ls "$out"/*.deb)
  check "one package named kyvek_<version>_<arch>.deb" \
    bash -c '[[ "$(basename "$1")" =~ ^kyvek_[0-9.]+_$(dpkg --print-architecture)\.deb$ ]]' _ "$deb"

  dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$work/contents"
  while read -r f; do
    check "package holds $f" grep -qxF "$f" "$work/contents"
  done < <(expected_files)
  check "package holds no build path" bash -c '! grep -qF -e "$1" -e "$2" "$3"' _ "$build_dir" "$source_dir" "$work/contents"

  local depends
  depends=$(dpkg-deb --field "$deb" Depends)
  echo "Depends: $depends"
  for dep in libodbc2 libodbcinst2 odbcinst liblzo2-2 libpam0g libsystemd0 libc6; do
    check "depends on $dep" bash -c 'tr "," "\n" <<<"$1" | grep -qE "^ *$2( |$)"' _ "$depends" "$dep"
  done
  dpkg-deb --info "$deb" conffiles > "$work/conffiles"
  check "registry file is a conffile" grep -qxF "$registry_file" "$work/conffiles"
  check "PAM file is a conffile" grep -qxF "$pamdir/kyvek" "$work/conffiles"

  # The package's life on a private root: dpkg installs into it and runs the
  # maintainer scripts outside a chroot with $DPKG_ROOT set; odbcinst works on a
  # private odbcinst.ini. Dependencies are not installed there, hence --force-depends.
  local root=$work/root ini=$work/odbc/odbcinst.ini
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$work/odbc"
  touch "$root/var/lib/dpkg/status"
  export ODBCSYSINI=$work/odbc
  dpkg_root() {  # dpkg wants ldconfig and start-stop-daemon on the PATH
    PATH=$PATH:/usr/sbin:/sbin dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless --force-depends \
      --force-not-root "$@"
  }
  check "dpkg installs the package" quiet dpkg_root -i "$deb"
  check "driver registered under its name" grep -qx "\[$odbc_driver_name\]" "$ini"
  check "registered driver named as in the template" \
    grep -qx "Driver=$(sed -n 's/^Driver *= *//p' "$root$datadir/odbcinst.ini")" "$ini"
  check "log directory made" test -d "$root$logdir"
  echo '"AdminEdit"="kept"' >> "$root$registry_file"
  check "dpkg installs the package again (an upgrade)" quiet dpkg_root -i "$deb"
  check "upgrade keeps the administrator's registry file" grep -qF '"AdminEdit"="kept"' "$root$registry_file"
  check "upgrade keeps one registration" grep -qx "UsageCount=1" "$ini"
  check "dpkg removes the package" quiet dpkg_root -r kyvek
  check "removal unregisters the driver" bash -c '! grep -q "^\[$1\]" "$2"' _ "$odbc_driver_name" "$ini"
  check "removal keeps the registry file" test -f "$root$registry_file"
  check "dpkg purges the package" quiet dpkg_root -P kyvek
  check "purge removes the registry file and the log directory" \
    test ! -e "$root$registry_file" -a ! -e "$root$logdir"
  finish
}

run_units() {
  if ! command -v systemd-analyze > /dev/null || [ ! -d /lib/systemd/system ]; then
    echo "systemd-analyze not installed: skipped"
    exit 77
  fi
  stage_install
  # verify --root looks for the units' programs and the system's targets inside
  # the root: give it the staged tree plus the system's units and kill.
  mkdir -p "$stage/lib/systemd" "$stage/bin"
  cp -a /lib/systemd/system "$stage/lib/systemd/"
  cp /bin/kill "$stage/bin/kill"
  local unit out
  for unit in kyvekserver.service kyvekhttpd.service kyvekserver-inetd.socket kyvekserver-inetd@.service; do
    out=$(systemd-analyze verify --root="$stage" "$unitdir/$unit" 2>&1)
    check "systemd-analyze verify $unit${out:+: $out}" test -z "$out"
  done
  # Hardening that keeps impersonation: an exposure of 4.0 at most (9.6 without it).
  for unit in kyvekserver.service kyvekhttpd.service kyvekserver-inetd@.service; do
    out=$(systemd-analyze security --offline=yes "$stage$unitdir/$unit" 2>&1 | tail -n 1)
    echo "$out"
    check "exposure of $unit at most 4.0" \
      awk '/Overall exposure level/ { for (i = 1; i <= NF; i++) if ($i ~ /^[0-9.]+$/) exit !($i <= 4.0); exit 1 }' <<<"$out"
  done
  finish
}

case $part in
  install) run_install ;;
  package) run_package ;;
  units) run_units ;;
  *) echo "unknown part $part"; exit 2 ;;
esac

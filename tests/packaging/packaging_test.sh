#!/usr/bin/env bash
# Tests of the installed tree and the Debian package, run from the build tree:
#   packaging_test.sh install <layout.sh>   staged install: files, libraries, a
#                                            staged server reached through the staged driver
#   packaging_test.sh packages <layout.sh>  the .debs of a Release build: lintian, the
#                                            contents and dependencies of each role, and
#                                            install, upgrade, removal and purge by dpkg
#                                            in private roots (the driver alone, the
#                                            server alone, all four)
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
# The staged server's statistics block and worker list (named shared memory).
shm_name=kyvek-pkg-$$

cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  # A console server ended by a signal leaves its shared memory behind.
  rm -f "/dev/shm/$shm_name" "/dev/shm/$shm_name.workers"
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

# Every file the install must place (absolute paths of the configured layout),
# each after the component (the package) that carries it.
expected_files_by_package() {
  local c
  echo "server $sbindir/kyvekserver"
  echo "server $libexecdir/vek_plot"
  echo "driver $bindir/vekping"
  echo "driver $odbcdir/libkyvekcnt.so"
  if [ -e "$build_dir/lib/libkyvekset.so" ]; then echo "setup $odbcdir/libkyvekset.so"; fi
  for lib in kysupp kyrpc kycrypt; do echo "libs $privlibdir/lib$lib.so"; done
  echo "server $registry_file"
  echo "server $pamdir/kyvek"
  echo "driver $datadir/odbcinst.ini"
  # The setup library's help pages; the administration server's pages, style
  # sheet and images.
  if [ -d "$source_dir/setup/help" ]; then
    (cd "$source_dir/setup/help" && ls -- *.html) | sed "s|^|setup $datadir/|"
  fi
  if [ -d "$source_dir/server/http/templates" ]; then
    (cd "$source_dir/server/http/templates" && find . -type f) | sed "s|^\.|server $datadir/templates|"
  fi
  for unit in kyvekserver.service kyvekhttpd.service kyvekserver-inetd.socket \
              kyvekserver-inetd@.service; do
    echo "server $unitdir/$unit"
  done
  echo "server $mandir/man8/kyvekserver.8.gz"
  echo "server $mandir/man5/kyvek-registry.5.gz"
  echo "driver $mandir/man1/vekping.1.gz"
  # Debian's documentation: copyright and changelog in every package, README
  # and docs/ for the driver and the server.
  for c in driver libs server setup; do
    echo "$c $(dirname "$docdir_driver")/$(package_of "$c")/copyright"
    echo "$c $(dirname "$docdir_driver")/$(package_of "$c")/changelog.gz"
  done
  for c in driver server; do
    local d=$docdir_driver
    [ "$c" = server ] && d=$docdir_server
    echo "$c $d/README.md"
    (cd "$source_dir/docs" && ls -- *.md) | sed "s|^|$c $d/docs/|"
  done
}
expected_files() { expected_files_by_package | cut -d' ' -f2-; }

package_of() {  # package_of <component>
  local -a pairs
  read -r -a pairs <<<"$packages"
  local i
  for ((i = 0; i < ${#pairs[@]}; i += 2)); do
    if [ "${pairs[i]}" = "$1" ]; then echo "${pairs[i + 1]}"; return; fi
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
  export KYVEK_RUNDIR=$work/run KYVEK_EVENTLOG=$work/events.log KYVEK_SHM_NAME=/$shm_name
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

# The packages of a Release build (scripts/run-tests builds one): lintian, the
# contents by role, and their life on private roots.
run_packages() {
  local out=$work/debs
  if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$out" > "$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack"
    finish
  fi
  local -A deb
  local c p arch
  arch=$(dpkg --print-architecture)
  for c in driver libs server setup; do
    p=$(package_of "$c")
    deb[$c]=$(ls "$out/${p}_"*"_$arch.deb" 2>/dev/null)
    check "package $p built" test -f "${deb[$c]}"
  done
  [ "$failures" -eq 0 ] || finish

  # lintian: no error or warning, and every informational tag either mended or
  # overridden (with its reason) in the package's overrides.
  if ! command -v lintian > /dev/null; then
    fail "lintian is not installed (scripts/install-deps)"
  else
    lintian --fail-on error,warning,info --display-info --tag-display-limit 0 \
      "${deb[@]}" > "$work/lintian.log" 2>&1
    local rc=$?
    cat "$work/lintian.log"
    check "lintian reports no tag" test "$rc" -eq 0
  fi

  # Every installed file in exactly one package, the one of its role.
  for c in driver libs server setup; do
    dpkg-deb --contents "${deb[$c]}" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' > "$work/contents.$c"
  done
  while read -r c f; do
    check "$(package_of "$c") holds $f" grep -qxF "$f" "$work/contents.$c"
  done < <(expected_files_by_package)
  check "no file in two packages" \
    bash -c 'cat "$@" | sort | uniq -d | grep -q . && exit 1; exit 0' _ "$work"/contents.*
  check "no package holds a build path" \
    bash -c '! grep -qF -e "$1" -e "$2" "${@:3}"' _ "$build_dir" "$source_dir" "$work"/contents.*

  local field
  for c in driver libs server; do
    field=$(dpkg-deb --field "${deb[$c]}" Depends)
    echo "$(package_of "$c") Depends: $field"
    check "$(package_of "$c") depends on no Qt" bash -c '! grep -qi "libqt" <<<"$1"' _ "$field"
  done
  field=$(dpkg-deb --field "${deb[setup]}" Depends)
  check "kyvek-setup depends on Qt and the driver" \
    bash -c 'grep -q "libqt6widgets6" <<<"$1" && grep -q "odbc-kyvek (= " <<<"$1"' _ "$field"
  field=$(dpkg-deb --field "${deb[driver]}" Depends)
  for dep in kyvek-libs libodbc2 libodbcinst2 odbcinst libc6; do
    check "odbc-kyvek depends on $dep" bash -c 'tr "," "\n" <<<"$1" | grep -qE "^ *$2( |$)"' _ "$field" "$dep"
  done
  field=$(dpkg-deb --field "${deb[server]}" Depends)
  for dep in kyvek-libs libodbc2 libpam0g libsystemd0 libpam-runtime; do
    check "kyvek-server depends on $dep" bash -c 'tr "," "\n" <<<"$1" | grep -qE "^ *$2( |$)"' _ "$field" "$dep"
  done
  check "kyvek-server recommends gnuplot" \
    bash -c 'dpkg-deb --field "$1" Recommends | grep -q gnuplot' _ "${deb[server]}"
  dpkg-deb --info "${deb[server]}" conffiles > "$work/conffiles"
  check "registry file is a conffile" grep -qxF "$registry_file" "$work/conffiles"
  check "PAM file is a conffile" grep -qxF "$pamdir/kyvek" "$work/conffiles"

  # The packages' life on private roots: dpkg installs into a root and runs the
  # maintainer scripts outside a chroot with $DPKG_ROOT set; they keep the
  # Driver Manager's list in the root's own etc/odbcinst.ini (as the odbcinst
  # package would, it exists beforehand) and deb-systemd-helper its state in
  # the root. Dependencies are not installed there, hence --force-depends.
  unset ODBCSYSINI ODBCINI
  new_root() {
    root=$work/root-$1
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc" "$root/run" \
             "$root/var/log" "$root/var/lib/systemd"
    touch "$root/var/lib/dpkg/status" "$root/etc/odbcinst.ini"
  }
  # dpkg wants ldconfig and start-stop-daemon on the PATH; a minimal system's
  # dpkg configuration may exclude manual pages and documentation.
  dpkg_root() {
    PATH=$PATH:/usr/sbin:/sbin dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless \
      --force-depends --force-not-root --force-confold --path-include='/usr/share/man/*' --path-include='/usr/share/doc/*' "$@"
  }
  entry() { sed -n "/^\[$odbc_driver_name\]/,/^\[/p" "$root/etc/odbcinst.ini"; }
  # No ELF file of the root needs a Qt library, and no daemon file is there.
  no_qt() {
    local f bad=0
    while read -r f; do
      if is_elf "$f" && readelf -d "$f" | grep -q 'NEEDED.*libQt'; then echo "$f needs Qt"; bad=1; fi
    done < <(find "$root" -type f)
    return $bad
  }
  no_daemon() {
    local hits
    hits=$(cd "$root" && find . \( -path "./${sbindir#/}/kyvekserver" -o -path "./${unitdir#/}/*" \
                                  -o -path "./${pamdir#/}/kyvek" -o -path "./${libexecdir#/}/*" \) -print)
    [ -z "$hits" ] || { echo "$hits"; return 1; }
  }

  # A client machine: the driver alone.
  new_root client
  check "client: dpkg installs kyvek-libs and odbc-kyvek" quiet dpkg_root -i "${deb[libs]}" "${deb[driver]}"
  check "client: no Qt" no_qt
  check "client: no daemon, unit, PAM file or server program" no_daemon
  check "client: odbcinst lists the driver" \
    bash -c 'ODBCSYSINI=$1 odbcinst -q -d | grep -qx "\[$2\]"' _ "$root/etc" "$odbc_driver_name"
  check "client: the entry names the driver as the template does" \
    bash -c 'grep -qx "Driver=$(sed -n "s/^Driver *= *//p" "$1")" <<<"$2"' _ "$root$datadir/odbcinst.ini" "$(entry)"
  check "client: without kyvek-setup the entry names no Setup library" bash -c '! grep -q "^Setup" <<<"$1"' _ "$(entry)"
  check "client: vekping(1) reads" \
    bash -c 'man -M "$1" vekping 2>/dev/null | grep -q "vekping - "' _ "$root$mandir"

  # A headless server: the server alone.
  new_root server
  check "server: dpkg installs kyvek-libs and kyvek-server" quiet dpkg_root -i "${deb[libs]}" "${deb[server]}"
  check "server: no Qt" no_qt
  check "server: no driver registered" test ! -s "$root/etc/odbcinst.ini"
  check "server: log directory made" test -d "$root$logdir"
  check "server: units recorded by deb-systemd-helper, none enabled" \
    bash -c 'ls "$1"/*.dsh-also > /dev/null 2>&1 && ! find "$2" -name "kyvek*" -type l | grep -q .' \
    _ "$root/var/lib/systemd/deb-systemd-helper-enabled" "$root/etc/systemd"
  check "server: kyvekserver(8) and kyvek-registry(5) read" \
    bash -c 'man -M "$1" 8 kyvekserver 2>/dev/null | grep -q "kyvekserver - " &&
             man -M "$1" 5 kyvek-registry 2>/dev/null | grep -q "kyvek-registry - "' _ "$root$mandir"

  # A machine with the one package of earlier releases: the packages replace it
  # and take over its settings file with the administrator's edits.
  new_root earlier
  local old=$work/old-kyvek
  mkdir -p "$old/DEBIAN" "$old$confdir" "$old$sbindir"
  printf 'Package: kyvek\nVersion: 2.4.3\nArchitecture: %s\nMaintainer: test <t@t.invalid>\nDescription: earlier single package\n' \
    "$arch" > "$old/DEBIAN/control"
  echo "$registry_file" > "$old/DEBIAN/conffiles"
  dpkg-deb --fsys-tarfile "${deb[server]}" | tar -xO ".$registry_file" > "$old$registry_file"
  cp "$build_dir/bin/kyvekserver" "$old$sbindir/kyvekserver"
  quiet dpkg-deb --root-owner-group --build "$old" "$work/kyvek-old.deb"
  check "earlier: dpkg installs the one earlier package" quiet dpkg_root -i "$work/kyvek-old.deb"
  echo '"AdminEdit"="kept"' >> "$root$registry_file"
  check "earlier: dpkg installs the four packages over it" \
    quiet dpkg_root -i "${deb[libs]}" "${deb[driver]}" "${deb[server]}" "${deb[setup]}"
  check "earlier: the earlier package is gone" \
    bash -c '! dpkg --root="$1" -s kyvek 2>/dev/null | grep -q "^Status: install ok installed"' _ "$root"
  check "earlier: the settings file with its edits belongs to kyvek-server" \
    bash -c 'grep -qF "\"AdminEdit\"=\"kept\"" "$1$2" && dpkg --root="$1" -S "$2" | grep -q "^kyvek-server:"' \
    _ "$root" "$registry_file"

  # Everything on one machine: install, upgrade, remove and purge.
  new_root all
  root_files() { find "$root" -mindepth 1 -not -path "$root/var/lib/dpkg*" | sort; }
  root_files > "$work/before"
  check "all: dpkg installs the four packages" \
    quiet dpkg_root -i "${deb[libs]}" "${deb[driver]}" "${deb[server]}" "${deb[setup]}"
  check "all: the entry names the setup library" \
    bash -c 'grep -qx "Setup=$(sed -n "s/^Setup *= *//p" "$1")" <<<"$2"' _ "$root$datadir/odbcinst.ini" "$(entry)"
  echo '"AdminEdit"="kept"' >> "$root$registry_file"
  check "all: dpkg installs them again (an upgrade)" \
    quiet dpkg_root -i "${deb[libs]}" "${deb[driver]}" "${deb[server]}" "${deb[setup]}"
  check "all: upgrade keeps the administrator's registry file" grep -qF '"AdminEdit"="kept"' "$root$registry_file"
  check "all: upgrade keeps one registration with Setup" \
    bash -c 'grep -qx "UsageCount=1" <<<"$1" && grep -q "^Setup=" <<<"$1"' _ "$(entry)"
  check "all: dpkg removes kyvek-setup" quiet dpkg_root -P kyvek-setup
  check "all: the entry then names no Setup library, one registration" \
    bash -c '! grep -q "^Setup" <<<"$1" && grep -qx "UsageCount=1" <<<"$1" && grep -q "^Driver=" <<<"$1"' _ "$(entry)"
  check "all: dpkg installs kyvek-setup again" quiet dpkg_root -i "${deb[setup]}"
  check "all: dpkg removes the packages" quiet dpkg_root -r kyvek-setup odbc-kyvek kyvek-server kyvek-libs
  check "all: removal unregisters the driver" test ! -s "$root/etc/odbcinst.ini"
  check "all: removal keeps the registry file" test -f "$root$registry_file"
  # What the server makes: the registry's lock and a temporary file, logs, the
  # audit trail, the run-time directory.
  touch "$root$registry_file.lock" "$root$registry_file.Ab12Cd" "$root$logdir/kyvekserver.log" \
        "$root$logdir/kyvek_access.log"
  mkdir -p "$root/run/kyvek"
  check "all: dpkg purges the packages" quiet dpkg_root -P kyvek-setup odbc-kyvek kyvek-server kyvek-libs
  check "all: purge keeps the audit trail and says so" \
    bash -c 'test -f "$1" && grep -q "kept the audit trail" "$2"' _ "$root$logdir/kyvek_access.log" "$work/commands.log"
  rm -f "$root$logdir/kyvek_access.log"
  rmdir "$root$logdir" 2>/dev/null
  root_files > "$work/after"
  check "all: purge leaves nothing else behind" cmp -s "$work/before" "$work/after"
  if [ "$failures" -ne 0 ]; then diff "$work/before" "$work/after"; fi
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
    # The manual pages that Documentation= names are the staged ones.
    out=$(MANPATH=$stage$mandir systemd-analyze verify --root="$stage" "$unitdir/$unit" 2>&1)
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
  packages) run_packages ;;
  units) run_units ;;
  *) echo "unknown part $part"; exit 2 ;;
esac

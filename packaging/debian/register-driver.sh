# The driver's entry in the Driver Manager's odbcinst.ini, written from the
# template @KYVEK_FULL_DATADIR@/odbcinst.ini. The entry names the setup library
# (Setup=) only while kyvek-setup has it installed, so that the Driver Manager
# of a client without Qt never tries to load it.
#   kyvek_register_driver new   registers the driver unless it is registered
#   kyvek_register_driver       rewrites the entry, keeping its usage count
# odbcinst -i replaces the section's keys and counts one use more; -u counts
# one use less. Under dpkg --root the root's own /etc/odbcinst.ini is used.
kyvek_register_driver() {
  template="$DPKG_ROOT@KYVEK_FULL_DATADIR@/odbcinst.ini"
  [ -f "$template" ] || return 0
  command -v odbcinst >/dev/null 2>&1 || return 0
  if [ -n "$DPKG_ROOT" ] && [ -z "${ODBCSYSINI:-}" ]; then
    ODBCSYSINI="$DPKG_ROOT/etc"
    export ODBCSYSINI
  fi
  registered=
  if odbcinst -q -d -n "@KYVEK_ODBC_DRIVER_NAME@" >/dev/null 2>&1; then
    registered=yes
    [ "${1:-}" != new ] || return 0
  fi
  if [ -e "$DPKG_ROOT@KYVEK_FULL_ODBCDIR@/libkyvekset.so" ]; then
    odbcinst -i -d -f "$template" >/dev/null
  else
    sed '/^Setup[[:space:]]*=/d' "$template" | odbcinst -i -d -r >/dev/null
  fi
  if [ -n "$registered" ]; then
    odbcinst -u -d -n "@KYVEK_ODBC_DRIVER_NAME@" >/dev/null
  fi
}

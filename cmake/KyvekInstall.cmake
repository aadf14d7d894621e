# Installed layout and the helpers that install each deliverable.
#
# The layout is the one Debian gives ODBC drivers and daemons, under one prefix
# chosen at configure time (-DCMAKE_INSTALL_PREFIX, default /usr):
#
#   sbin/kyvekserver                      the server (a system daemon)
#   bin/vekping                           the connectivity test tool
#   <libdir>/odbc/libkyvekcnt.so          the driver and the setup library, in the
#   <libdir>/odbc/libkyvekset.so            Driver Manager's module directory
#   <libdir>/kyvek/lib*.so                the project's own libraries (kysupp, kyrpc,
#                                           kycrypt): private, found through RUNPATH
#   libexec/kyvek/vek_plot                the server's private programs (the audit graph)
#   share/kyvek/                          the installation directory (setting "Path"):
#                                           help files, templates/, odbcinst.ini template
#   <sysconfdir>/kyvek/registry.reg       the default registry file
#   <sysconfdir>/pam.d/kyvek              the PAM service
#   lib/systemd/system/                   the systemd units
#   /var/log/kyvek                        LogDir (made by the package and by systemd)
#
# <libdir> is GNUInstallDirs' (lib/x86_64-linux-gnu under /usr on Debian);
# <sysconfdir> is /etc for the prefix /usr, /etc/opt/<name> for /opt/<name>.
#
# Every file that names a path is configured from the variables below, so the
# prefix is given once, when configuring; installing with another --prefix would
# leave those files naming the wrong places and is refused.
#
# For a deliverable's CMakeLists (COMPONENT names the Debian package that
# carries the files, packaging/CMakeLists.txt: driver, libs, server, setup):
#   kyvek_install_program(<target> [SBIN|LIBEXEC] COMPONENT <c>)
#                                              a program, in bin/ (or sbin/, or the
#                                              server's private libexec/kyvek)
#   kyvek_install_library(<target> [ODBC] COMPONENT <c>)
#                                              a project library (private directory),
#                                              or with ODBC a module the Driver Manager loads
#   kyvek_install_data(COMPONENT <c> [SUBDIR <dir>] [FILES <file>...] [DIRECTORY <dir>...])
#                                              data in the installation directory
#                                              (help files; SUBDIR templates for pages)
# and in files configured with configure_file(... @ONLY): @KYVEK_FULL_DATADIR@,
# @KYVEK_FULL_SBINDIR@, @KYVEK_REGISTRY_FILE@, @KYVEK_LOGDIR@ and the rest below.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix (named in the installed files)" FORCE)
endif()
include(GNUInstallDirs)

# Directories relative to the prefix (install destinations).
set(KYVEK_INSTALL_ODBCDIR "${CMAKE_INSTALL_LIBDIR}/odbc" CACHE STRING
    "Directory of the driver and the setup library, relative to the prefix")
set(KYVEK_INSTALL_PRIVLIBDIR "${CMAKE_INSTALL_LIBDIR}/kyvek" CACHE STRING
    "Directory of the project's private libraries, relative to the prefix")
set(KYVEK_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/kyvek")
set(KYVEK_INSTALL_LIBEXECDIR "${CMAKE_INSTALL_LIBEXECDIR}/kyvek")
set(KYVEK_INSTALL_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd units, relative to the prefix")

# Absolute paths, as the installed files name them.
set(KYVEK_FULL_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
set(KYVEK_FULL_SBINDIR "${CMAKE_INSTALL_FULL_SBINDIR}")
set(KYVEK_FULL_ODBCDIR "${CMAKE_INSTALL_PREFIX}/${KYVEK_INSTALL_ODBCDIR}")
set(KYVEK_FULL_PRIVLIBDIR "${CMAKE_INSTALL_PREFIX}/${KYVEK_INSTALL_PRIVLIBDIR}")
set(KYVEK_FULL_DATADIR "${CMAKE_INSTALL_PREFIX}/${KYVEK_INSTALL_DATADIR}")
set(KYVEK_FULL_LIBEXECDIR "${CMAKE_INSTALL_PREFIX}/${KYVEK_INSTALL_LIBEXECDIR}")
set(KYVEK_FULL_UNITDIR "${CMAKE_INSTALL_PREFIX}/${KYVEK_INSTALL_UNITDIR}")
set(KYVEK_CONFDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/kyvek")
set(KYVEK_PAMDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/pam.d")
set(KYVEK_REGISTRY_FILE "${KYVEK_CONFDIR}/registry.reg")
# Logs go where systemd's LogsDirectory= puts them, whatever the prefix.
set(KYVEK_LOGDIR "/var/log/kyvek" CACHE PATH "The installed server's LogDir")

# The driver's name in odbcinst.ini, as applications name it in DRIVER=.
set(KYVEK_ODBC_DRIVER_NAME Kyvek)

# The Driver Manager loads a module named without a directory from its own
# module directory; the odbcinst.ini template names the driver that way when it
# is installed there (as Debian's driver packages do), else by its full path.
pkg_get_variable(KYVEK_DM_LIBDIR odbc libdir)
if(KYVEK_DM_LIBDIR AND KYVEK_FULL_ODBCDIR STREQUAL "${KYVEK_DM_LIBDIR}/odbc")
  set(KYVEK_ODBCINST_DRIVER "libkyvekcnt.so")
  set(KYVEK_ODBCINST_SETUP "libkyvekset.so")
else()
  set(KYVEK_ODBCINST_DRIVER "${KYVEK_FULL_ODBCDIR}/libkyvekcnt.so")
  set(KYVEK_ODBCINST_SETUP "${KYVEK_FULL_ODBCDIR}/libkyvekset.so")
endif()

# The RUNPATH that leads from an installed file in <dir> (relative to the
# prefix) to the private libraries.
function(_kyvek_runpath_from dir out)
  file(RELATIVE_PATH rel "/${dir}" "/${KYVEK_INSTALL_PRIVLIBDIR}")
  if(rel STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${rel}" PARENT_SCOPE)
  endif()
endfunction()

# True (in <out>) the first time <key> is seen: a deliverable installed both by
# its own directory and by packaging/ is installed once.
function(_kyvek_first_install key out)
  get_property(seen GLOBAL PROPERTY KYVEK_INSTALLED)
  if(key IN_LIST seen)
    set(${out} FALSE PARENT_SCOPE)
  else()
    set_property(GLOBAL APPEND PROPERTY KYVEK_INSTALLED ${key})
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

# The component every install rule must name.
function(_kyvek_component prefix)
  if(NOT ${prefix}_COMPONENT)
    message(FATAL_ERROR "kyvek_install_*: COMPONENT missing")
  endif()
endfunction()

# kyvek_install_program(<target> [SBIN|LIBEXEC] COMPONENT <c>)
function(kyvek_install_program target)
  _kyvek_first_install(${target} first)
  if(NOT first)
    return()
  endif()
  cmake_parse_arguments(P "SBIN;LIBEXEC" "COMPONENT" "" ${ARGN})
  _kyvek_component(P)
  set(dir ${CMAKE_INSTALL_BINDIR})
  if(P_SBIN)
    set(dir ${CMAKE_INSTALL_SBINDIR})
  elseif(P_LIBEXEC)
    set(dir ${KYVEK_INSTALL_LIBEXECDIR})
  endif()
  _kyvek_runpath_from(${dir} runpath)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${runpath}")
  install(TARGETS ${target} RUNTIME DESTINATION ${dir} COMPONENT ${P_COMPONENT})
endfunction()

# kyvek_install_library(<target> [ODBC] COMPONENT <c>)
# ODBC: the module goes beside the other ODBC drivers and also finds, through
# $ORIGIN, the modules installed beside it (the driver loads the setup library).
function(kyvek_install_library target)
  _kyvek_first_install(${target} first)
  if(NOT first)
    return()
  endif()
  cmake_parse_arguments(L "ODBC" "COMPONENT" "" ${ARGN})
  _kyvek_component(L)
  if(L_ODBC)
    set(dir ${KYVEK_INSTALL_ODBCDIR})
    _kyvek_runpath_from(${dir} runpath)
    set(runpath "${runpath};$ORIGIN")
  else()
    set(dir ${KYVEK_INSTALL_PRIVLIBDIR})
    set(runpath "$ORIGIN")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${runpath}")
  install(TARGETS ${target} LIBRARY DESTINATION ${dir} COMPONENT ${L_COMPONENT})
endfunction()

# kyvek_install_data(COMPONENT <c> [SUBDIR <dir>] [FILES <file>...] [DIRECTORY <dir>...])
# DIRECTORY follows install(DIRECTORY): "pages/" installs the contents of pages.
# Relative names are taken from the calling directory's sources.
function(kyvek_install_data)
  cmake_parse_arguments(D "" "SUBDIR;COMPONENT" "FILES;DIRECTORY" ${ARGN})
  _kyvek_component(D)
  set(dest ${KYVEK_INSTALL_DATADIR})
  if(D_SUBDIR)
    string(APPEND dest "/${D_SUBDIR}")
  endif()
  foreach(f ${D_FILES})
    get_filename_component(f ${f} ABSOLUTE)
    _kyvek_first_install("${dest}|${f}" first)
    if(first)
      install(FILES ${f} DESTINATION ${dest} COMPONENT ${D_COMPONENT})
    endif()
  endforeach()
  foreach(d ${D_DIRECTORY})
    get_filename_component(abs ${d} ABSOLUTE)
    if(d MATCHES "/$")
      string(APPEND abs "/")
    endif()
    _kyvek_first_install("${dest}|${abs}" first)
    if(first)
      install(DIRECTORY ${abs} DESTINATION ${dest} COMPONENT ${D_COMPONENT})
    endif()
  endforeach()
endfunction()

# The installed files name the configured prefix: refuse to put them elsewhere
# (cmake --install --prefix). A staged install keeps the prefix and sets DESTDIR;
# CPack installs below its own staging directory with the configured prefix.
install(CODE "
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\"
     AND NOT CMAKE_INSTALL_PREFIX MATCHES \"/_CPack_Packages/.*${CMAKE_INSTALL_PREFIX}\$\")
    message(FATAL_ERROR \"This tree was configured for the prefix ${CMAKE_INSTALL_PREFIX}, which \"
      \"its installed files name. Configure it with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX} \"
      \"instead of installing with --prefix; stage an install with DESTDIR.\")
  endif()" ALL_COMPONENTS)

# Project-wide compiler settings and helpers for libraries, tests and fuzzers.

add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wshadow -Wimplicit-fallthrough
                    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
if(KYVEK_WERROR)
  add_compile_options(-Werror)
endif()

# A Release build (the one the Debian packages are made from) carries Debian's
# hardening: the flags dpkg-buildflags gives with every hardening feature on
# (_FORTIFY_SOURCE=2, -fstack-protector-strong, format checks, PIE, relro and
# bindnow), or the same flags where dpkg-buildflags is missing. Optimisation and
# debug information stay the build type's.
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT KYVEK_SANITIZE AND NOT KYVEK_FUZZ)
  find_program(KYVEK_DPKG_BUILDFLAGS dpkg-buildflags)
  if(KYVEK_DPKG_BUILDFLAGS)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                              ${KYVEK_DPKG_BUILDFLAGS} --get ${kind}
                      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
      separate_arguments(flags UNIX_COMMAND "${flags}")
      list(FILTER flags EXCLUDE REGEX "^(-g|-O[0-9s]?|-ffile-prefix-map=.*|-fdebug-prefix-map=.*)$")
      set(hardening_${kind} ${flags})
    endforeach()
  else()
    set(hardening_CPPFLAGS -D_FORTIFY_SOURCE=2)
    set(hardening_CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
    set(hardening_LDFLAGS -Wl,-z,relro -Wl,-z,now)
  endif()
  add_compile_options(${hardening_CPPFLAGS} ${hardening_CXXFLAGS})
  add_link_options(${hardening_LDFLAGS})
endif()

if(KYVEK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KYVEK_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
elseif(KYVEK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

# kyvek_export_map(<target> <dir-with-.sym-files>)
# Builds a version script from every <dir>/*.sym file (one symbol a line, '#' comments)
# so that each unit of a library lists its own exports, and only those are exported.
function(kyvek_export_map target symdir)
  file(GLOB symfiles CONFIGURE_DEPENDS ${symdir}/*.sym)
  set(names "")
  foreach(f ${symfiles})
    file(STRINGS ${f} lines)
    foreach(l ${lines})
      string(STRIP "${l}" l)
      if(l AND NOT l MATCHES "^#")
        string(APPEND names "    ${l};\n")
      endif()
    endforeach()
  endforeach()
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(WRITE ${map}.tmp "{\n  global:\n${names}  local: *;\n};\n")
  file(COPY_FILE ${map}.tmp ${map} ONLY_IF_DIFFERENT)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS "${map}")
  target_link_options(${target} PRIVATE "-Wl,--version-script=${map}")
endfunction()

# kyvek_add_gtest(<name> SOURCES ... LIBS ... [ENV k=v ...] [TIMEOUT s] [LABELS ...])
function(kyvek_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(KYVEK_FUZZ)
    # The fuzz build only builds the fuzzers; tests stay defined so that
    # properties and dependencies set on them still resolve.
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "LANG=C.UTF-8;KYVEK_SOURCE_DIR=${PROJECT_SOURCE_DIR};KYVEK_BINARY_DIR=${PROJECT_BINARY_DIR};${T_ENV}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# kyvek_add_fuzzer(<name> SOURCES ... LIBS ... CORPUS <dir>)
# With KYVEK_FUZZ: a libFuzzer binary, listed in fuzzers.txt for scripts/run-tests.
# Otherwise: the same entry point linked with a replay driver, and a test that
# feeds it every file of the seed corpus.
function(kyvek_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(KYVEK_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS} Threads::Threads)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers-${name}.txt
         CONTENT "$<TARGET_FILE:${name}> ${F_CORPUS}\n")
    add_dependencies(fuzzers ${name})
  elseif(KYVEK_BUILD_TESTS)
    add_executable(${name}_replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS} Threads::Threads)
    add_test(NAME ${name}_corpus COMMAND ${name}_replay ${F_CORPUS})
    set_tests_properties(${name}_corpus PROPERTIES TIMEOUT 300 ENVIRONMENT "LANG=C.UTF-8")
  endif()
endfunction()

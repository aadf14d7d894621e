# Sets kyvek_sanitizer_preload to the sanitizer runtimes (colon-separated) that
# an unsanitized program loading the sanitized client driver (python3 with
# pyodbc, isql) must preload; empty without KYVEK_SANITIZE. The end-to-end
# tests pass it on as KYVEK_SANITIZER_PRELOAD.
set(kyvek_sanitizer_preload "")
if(KYVEK_SANITIZE)
  foreach(rt libasan.so libubsan.so)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${rt}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(EXISTS "${path}")
      list(APPEND kyvek_sanitizer_preload "${path}")
    endif()
  endforeach()
  string(REPLACE ";" ":" kyvek_sanitizer_preload "${kyvek_sanitizer_preload}")
endif()

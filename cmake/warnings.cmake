# twrelay_warnings(<target> [STRICT])
# Common warnings for every target; STRICT adds the conversion checks that the
# library itself is held to. TWRELAY_WERROR turns them into errors.
function(twrelay_warnings target)
  cmake_parse_arguments(ARG "STRICT" "" "" ${ARGN})
  set(flags -Wall -Wextra -Wpedantic)
  if(ARG_STRICT)
    list(APPEND flags -Wshadow -Wconversion -Wsign-conversion)
  endif()
  if(TWRELAY_WERROR)
    list(APPEND flags -Werror)
  endif()
  target_compile_options(${target} PRIVATE ${flags})
endfunction()

# Warnings for our own targets: call tovik_warnings(<target>).
function(tovik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  if(TOVIK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

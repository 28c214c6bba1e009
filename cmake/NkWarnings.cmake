# The warning set of every target of ours; NK_WERROR turns them into errors.
function(nk_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wundef -Wwrite-strings -Wformat=2
    $<$<COMPILE_LANGUAGE:CXX>:-Wmissing-declarations>
    $<$<COMPILE_LANGUAGE:C>:-Wmissing-prototypes -Wstrict-prototypes>)
  # Unwind tables let backtrace() walk the stack on 32-bit ARM too.
  target_compile_options(${target} PRIVATE -funwind-tables)
  if(NK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

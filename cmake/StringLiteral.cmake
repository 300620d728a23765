# tavro_string_literal(out setting): the value of the setting as a C/C++
# narrow string literal that any compile line carries whole. ASCII
# punctuation becomes an octal escape, which also stands for the same
# character in the wide literal TAVRO_WIDEN makes of it, so no quote,
# backslash, ';' (CMake's list separator) or '$' reaches a shell or a
# makefile as itself; letters, digits, spaces and UTF-8 stay as they are.
# A control character cannot be in a certificate's name and is refused.
function(tavro_string_literal out setting)
  set(text "${${setting}}")
  string(LENGTH "${text}" length)
  set(literal "")
  set(at 0)
  while(at LESS length)
    string(SUBSTRING "${text}" ${at} 1 byte)
    string(HEX "${byte}" hex)
    string(TOUPPER "${hex}" hex)
    math(EXPR code "0x${hex}")
    if(code LESS 32 OR code EQUAL 127)
      message(FATAL_ERROR "${setting} holds the control character U+00${hex}: a certificate's name has "
        "none, so no signature could ever match it. Give the name exactly as the certificate shows it.")
    endif()
    if(code GREATER 127 OR byte MATCHES "[A-Za-z0-9 ]")
      string(APPEND literal "${byte}")
    else()
      math(EXPR high "${code} / 64")
      math(EXPR middle "(${code} / 8) % 8")
      math(EXPR low "${code} % 8")
      string(APPEND literal "\\${high}${middle}${low}")
    endif()
    math(EXPR at "${at} + 1")
  endwhile()
  set(${out} "\"${literal}\"" PARENT_SCOPE)
endfunction()

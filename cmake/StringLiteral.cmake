# tavro_string_literal(out setting): the value of the setting as a C/C++
# narrow string literal that any compile line carries whole. ASCII
# punctuation becomes an octal escape, which also stands for the same
# character in the wide literal TAVRO_WIDEN makes of it, so no quote,
# backslash, ';' (CMake's list separator) or '$' reaches a shell or a
# makefile as itself; letters, digits, spaces and UTF-8 stay as they are.
# A control character or bytes that are not UTF-8 cannot be in a
# certificate's name and are refused.
function(tavro_string_literal out setting)
  set(text "${${setting}}")
  string(LENGTH "${text}" length)
  set(literal "")
  set(at 0)
  # UTF-8: how many continuation bytes are still due, and the range the
  # next one must fall in (narrower after E0, ED, F0 and F4, which would
  # otherwise allow overlong forms, surrogates or more than U+10FFFF).
  set(due 0)
  string(CONCAT not_utf8 ": a certificate's name is, so no signature could ever match it. Give the name exactly as the "
    "certificate shows it, from a UTF-8 terminal.")
  set(lowest 128)
  set(highest 191)
  while(at LESS length)
    string(SUBSTRING "${text}" ${at} 1 byte)
    string(HEX "${byte}" hex)
    string(TOUPPER "${hex}" hex)
    math(EXPR code "0x${hex}")
    math(EXPR at "${at} + 1")
    if(code LESS 32 OR code EQUAL 127)
      tavro_refuse_setting(${setting} "${setting} holds the control character U+00${hex}: a certificate's name has "
        "none, so no signature could ever match it. Give the name exactly as the certificate shows it.")
    endif()
    if(due GREATER 0)
      if(code LESS lowest OR code GREATER highest)
        tavro_refuse_setting(${setting} "${setting} is not UTF-8 text (${lead} starts no UTF-8 character)${not_utf8}")
      endif()
      math(EXPR due "${due} - 1")
      set(lowest 128)
      set(highest 191)
    elseif(code GREATER 127)
      set(lead "byte ${at}, 0x${hex},")
      if(code GREATER_EQUAL 194 AND code LESS_EQUAL 223)
        set(due 1)
      elseif(code GREATER_EQUAL 224 AND code LESS_EQUAL 239)
        set(due 2)
        if(code EQUAL 224)
          set(lowest 160)
        elseif(code EQUAL 237)
          set(highest 159)
        endif()
      elseif(code GREATER_EQUAL 240 AND code LESS_EQUAL 244)
        set(due 3)
        if(code EQUAL 240)
          set(lowest 144)
        elseif(code EQUAL 244)
          set(highest 143)
        endif()
      else()
        tavro_refuse_setting(${setting} "${setting} is not UTF-8 text (${lead} starts no UTF-8 character)${not_utf8}")
      endif()
    endif()
    if(code GREATER 127 OR byte MATCHES "[A-Za-z0-9 ]")
      string(APPEND literal "${byte}")
    else()
      math(EXPR high "${code} / 64")
      math(EXPR middle "(${code} / 8) % 8")
      math(EXPR low "${code} % 8")
      string(APPEND literal "\\${high}${middle}${low}")
    endif()
  endwhile()
  if(due GREATER 0)
    tavro_refuse_setting(${setting} "${setting} is not UTF-8 text (${lead} starts no UTF-8 character)${not_utf8}")
  endif()
  set(${out} "\"${literal}\"" PARENT_SCOPE)
endfunction()

# Ends the configuration with the sentence, the setting back at the value
# last accepted (${setting}_ACCEPTED): CMake keeps the cache of a failed
# run, and a refused value kept there would fail every later build, on a
# value nobody typed that time.
function(tavro_refuse_setting setting)
  get_property(help CACHE ${setting} PROPERTY HELPSTRING)
  set(${setting} "${${setting}_ACCEPTED}" CACHE STRING "${help}" FORCE)
  string(CONCAT sentence ${ARGN})
  message(FATAL_ERROR "${sentence}")
endfunction()

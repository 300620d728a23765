# The settings a user gives a tree (make VAR=value, or -D), each checked
# by this configuration. CMake keeps the cache of a failed run: a refused
# value kept there would fail every later build, make release and make
# manifest-refresh on a value nobody typed that time, and a value given
# beside the refused one would stay to build a mix nobody asked for. So a
# refusal puts every one of them back at the value last accepted
# (${name}_ACCEPTED), or at its default in a tree that never accepted one.

set(TAVRO_SETTINGS "")

# tavro_setting(name default type help): a cache entry, as set(... CACHE).
macro(tavro_setting name default type help)
  set(${name} "${default}" CACHE ${type} "${help}")
  set(TAVRO_DEFAULT_${name} "${default}")
  list(APPEND TAVRO_SETTINGS ${name})
endmacro()

# Ends the configuration with the sentence (the arguments after the
# setting, joined as they are), the tree's settings back as they were.
function(tavro_refuse_setting setting)
  foreach(name IN LISTS TAVRO_SETTINGS)
    get_property(help CACHE ${name} PROPERTY HELPSTRING)
    get_property(type CACHE ${name} PROPERTY TYPE)
    if(DEFINED CACHE{${name}_ACCEPTED})
      set(${name} "$CACHE{${name}_ACCEPTED}" CACHE ${type} "${help}" FORCE)
    else()
      set(${name} "${TAVRO_DEFAULT_${name}}" CACHE ${type} "${help}" FORCE)
    endif()
  endforeach()
  # ARGV<n> one by one: a value's ";" stays in the sentence.
  set(sentence "")
  math(EXPR last "${ARGC} - 1")
  foreach(at RANGE 1 ${last})
    string(APPEND sentence "${ARGV${at}}")
  endforeach()
  message(FATAL_ERROR "${sentence}")
endfunction()

# After every check: what a later refusal falls back to.
function(tavro_accept_settings)
  foreach(name IN LISTS TAVRO_SETTINGS)
    set(${name}_ACCEPTED "${${name}}" CACHE INTERNAL "")
  endforeach()
endfunction()

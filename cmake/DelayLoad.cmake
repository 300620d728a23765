# Delay-loading of the DLLs that are not Windows "known DLLs". Windows looks
# for such a DLL beside the program first; delay-loaded, it is resolved only
# at first use, after the entry point has restricted the search to System32.
#
# tavro_delay_load(target dll...) links the target against delay-import
# libraries (mingw-w64: made by dlltool from cmake/delayload/<dll>.def;
# MSVC: /DELAYLOAD).
function(tavro_delay_load target)
  foreach(dll IN LISTS ARGN)
    if(MSVC)
      target_link_libraries(${target} PRIVATE ${dll})
      target_link_options(${target} PRIVATE /DELAYLOAD:${dll}.dll)
      continue()
    endif()
    set(def_source ${PROJECT_SOURCE_DIR}/cmake/delayload/${dll}.def)
    set(def ${CMAKE_BINARY_DIR}/delayload/${dll}.def)
    set(lib ${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a)
    file(READ ${def_source} exports)
    # The functions a build with manifest keys or a pinned CA adds
    # (ReleaseLocks.cmake).
    foreach(lock IN LISTS TAVRO_LOCKS_BUILT)
      set(more_source ${PROJECT_SOURCE_DIR}/cmake/delayload/${dll}-${lock}.def)
      if(EXISTS ${more_source})
        file(READ ${more_source} more)
        string(REGEX REPLACE "(^|\n);[^\n]*" "" more "${more}")
        string(APPEND exports "${more}")
        list(APPEND def_source ${more_source})
      endif()
    endforeach()
    if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
      # 64-bit Windows has one calling convention and no @N decoration.
      string(REGEX REPLACE "@[0-9]+" "" exports "${exports}")
    endif()
    # The library follows the .def written here, not only its sources: a
    # tree configured again with a lock turned on or off needs the
    # functions it adds or drops (else the link misses them). Written only
    # when it changes, so that configuring again relinks nothing.
    set(written "")
    if(EXISTS ${def})
      file(READ ${def} written)
    endif()
    if(NOT written STREQUAL exports)
      file(WRITE ${def} "${exports}")
    endif()
    add_custom_command(OUTPUT ${lib}
      COMMAND ${CMAKE_DLLTOOL} -d ${def} -y ${lib} $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},4>:-k>
      DEPENDS ${def_source} ${def}
      COMMENT "Delay-import library for ${dll}.dll")
    add_custom_target(${target}_${dll}_delay DEPENDS ${lib})
    add_dependencies(${target} ${target}_${dll}_delay)
    target_link_libraries(${target} PRIVATE ${lib})

    # A header that declares a function dllimport (commctrl.h does) makes the
    # call go through __imp_<name> only. GNU ld then drops the member's stub
    # as unused, as it may for an ordinary import library, and the delay
    # slot, which must point at that stub until the first call, is left 0.
    # Naming every stub keeps it.
    string(REGEX MATCHALL "\n[A-Za-z_][A-Za-z0-9_@]*" functions "\n${exports}")
    foreach(function IN LISTS functions)
      string(STRIP "${function}" function)
      if(function STREQUAL "LIBRARY" OR function STREQUAL "EXPORTS")
        continue()
      endif()
      if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(function "_${function}")  # i686 C symbols carry a leading underscore
      endif()
      target_link_options(${target} PRIVATE "-Wl,--undefined=${function}")
    endforeach()
  endforeach()
  if(MSVC)
    target_link_libraries(${target} PRIVATE delayimp)
  endif()
endfunction()

# The few lines at the end of the configure output that say what this tree
# builds and why: the sensor backend, the tests, the benchmarks, the install.
# build.sh shows them in place of CMake's full output.

# Adds the line "LABEL: TEXT" to the summary (no semicolon in TEXT: the
# lines are kept as a list).
function(shakelog_summary label text)
  set_property(GLOBAL APPEND PROPERTY SHAKELOG_SUMMARY "${label}: ${text}")
endfunction()

function(shakelog_print_summary)
  get_property(lines GLOBAL PROPERTY SHAKELOG_SUMMARY)
  message(STATUS "Build summary")
  foreach(line IN LISTS lines)
    message(STATUS "  ${line}")
  endforeach()
endfunction()

# A part built on a library that may be missing (VARIABLE: BUILD_TESTING or
# BUILD_BENCHMARKS; PACKAGE: the find_package name).  Left unset, the part is
# built when the library is found; set ON, a missing library stops the
# configure with one line naming the Debian package; set OFF, it is left out.
# VARIABLE ends up a plain variable in the first case, so that installing the
# library later and configuring again turns the part on.
macro(shakelog_optional_part variable package library debian_package label)
  if(DEFINED CACHE{${variable}})
    if(${variable})
      find_package(${package} QUIET)
      if(NOT ${package}_FOUND)
        message(FATAL_ERROR "${variable}=ON needs ${library}, which is not found "
          "(Debian package ${debian_package})")
      endif()
      shakelog_summary("${label}" "built (${variable}=ON, ${library} found)")
    else()
      shakelog_summary("${label}" "not built (${variable}=OFF)")
    endif()
  else()
    find_package(${package} QUIET)
    if(${package}_FOUND)
      set(${variable} ON)
      shakelog_summary("${label}" "built (${library} found)")
    else()
      set(${variable} OFF)
      shakelog_summary("${label}" "not built (${library} not found, Debian package ${debian_package})")
    endif()
  endif()
endmacro()

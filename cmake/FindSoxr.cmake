# Finds libsoxr, the resampler of shakelog's FIFO capture.
#
# Defines Soxr_FOUND, Soxr_INCLUDE_DIR, Soxr_LIBRARY and the imported target
# Soxr::soxr.  A static build (STATIC_PROGRAMS) looks for libsoxr.a first:
# the ARMv6 build links one made from the distribution's source.

find_path(Soxr_INCLUDE_DIR NAMES soxr.h)
if(STATIC_PROGRAMS)
  find_library(Soxr_LIBRARY NAMES libsoxr.a soxr)
else()
  find_library(Soxr_LIBRARY NAMES soxr)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Soxr REQUIRED_VARS Soxr_LIBRARY Soxr_INCLUDE_DIR)

if(Soxr_FOUND AND NOT TARGET Soxr::soxr)
  add_library(Soxr::soxr UNKNOWN IMPORTED)
  set_target_properties(Soxr::soxr PROPERTIES
    IMPORTED_LOCATION "${Soxr_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Soxr_INCLUDE_DIR}")
  if(Soxr_LIBRARY MATCHES "\\.a$")
    # The static library's own needs: libm.
    set_target_properties(Soxr::soxr PROPERTIES INTERFACE_LINK_LIBRARIES "m")
  endif()
endif()
mark_as_advanced(Soxr_INCLUDE_DIR Soxr_LIBRARY)

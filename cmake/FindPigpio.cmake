# Finds the pigpio C library (direct interface, not the daemon client).
#
# Looks in the standard prefixes and in CMAKE_PREFIX_PATH, so both a
# distribution package (/usr) and a build from source (/usr/local) are found.
#
# Defines Pigpio_FOUND, Pigpio_INCLUDE_DIR, Pigpio_LIBRARY and the imported
# target Pigpio::pigpio, which also brings in pthread and rt.

find_path(Pigpio_INCLUDE_DIR NAMES pigpio.h)
find_library(Pigpio_LIBRARY NAMES pigpio)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Pigpio REQUIRED_VARS Pigpio_LIBRARY Pigpio_INCLUDE_DIR)

if(Pigpio_FOUND AND NOT TARGET Pigpio::pigpio)
  find_package(Threads REQUIRED)
  add_library(Pigpio::pigpio UNKNOWN IMPORTED)
  set_target_properties(Pigpio::pigpio PROPERTIES
    IMPORTED_LOCATION "${Pigpio_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Pigpio_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "Threads::Threads;rt")
endif()
mark_as_advanced(Pigpio_INCLUDE_DIR Pigpio_LIBRARY)

# Debian package of both programs: `cpack -G DEB` in the build tree.
#
# The package built against the real pigpio library is called "shakelog" and
# depends on pigpio; one built on the kernel's SPI driver is called
# "shakelog-spidev" and needs no pigpio; one built with the emulated sensor
# is called "shakelog-emulated", so that nobody installs it on a Pi by
# mistake.  All three conflict because they install the same files.
#
# dpkg does not reliably keep ownership and set-user-ID bits from the staging
# tree, and the gpio group's ID differs between machines, so pinwarden's
# owner, group and mode are set when the package is configured (postinst,
# through dpkg-statoverride, which dpkg then re-applies on every upgrade),
# and only there: the package is staged without the pinwarden_setuid
# component, the step that sets them for `cmake --install`.

set(SHAKELOG_PIGPIO_DEPENDS "libpigpio1" CACHE STRING
  "Debian dependency of a package built against the real pigpio library")

if(SHAKELOG_BACKEND_USED STREQUAL "pigpio")
  set(CPACK_PACKAGE_NAME "shakelog")
  set(shakelog_other_packages "shakelog-spidev, shakelog-emulated")
  set(shakelog_summary "ADXL345 accelerometer logger and GPIO pin access tool for the Raspberry Pi")
elseif(SHAKELOG_BACKEND_USED STREQUAL "spidev")
  set(CPACK_PACKAGE_NAME "shakelog-spidev")
  set(shakelog_other_packages "shakelog, shakelog-emulated")
  set(shakelog_summary "ADXL345 logger and GPIO pin tool for the Raspberry Pi, through spidev")
else()
  set(CPACK_PACKAGE_NAME "shakelog-emulated")
  set(shakelog_other_packages "shakelog, shakelog-spidev")
  set(shakelog_summary "ADXL345 logger and GPIO pin tool, built with an EMULATED sensor")
endif()

set(CPACK_GENERATOR "DEB")
# A cross build is packaged for its target: Debian's name for the target's
# triplet (armhf, arm64), not the build machine's architecture.
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE shakelog_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
    RESULT_VARIABLE shakelog_deb_arch_result)
  if(NOT shakelog_deb_arch_result EQUAL 0 OR shakelog_deb_arch STREQUAL "")
    message(FATAL_ERROR "packaging: no Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE} "
      "(dpkg-architecture, from dpkg-dev, names it)")
  endif()
  # The static ARMv6 build, from the armel toolchain, is what armhf
  # systems install: it needs none of the system's libraries.
  if(SHAKELOG_DEB_ARCH)
    set(shakelog_deb_arch "${SHAKELOG_DEB_ARCH}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${shakelog_deb_arch}")
endif()
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "shakelog developers <shakelog@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${shakelog_summary}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://shakelog.example.org/")
set(CPACK_DEBIAN_PACKAGE_CONFLICTS "${shakelog_other_packages}")
set(CPACK_DEBIAN_PACKAGE_REPLACES "${shakelog_other_packages}")

# Control-file description: lines of at most 79 characters.
set(CPACK_PACKAGE_DESCRIPTION
"shakelog records acceleration from an ADXL345 accelerometer on SPI channel 0,
streaming readings to the terminal or capturing at full bus speed into a CSV
file resampled onto a regular time grid.
pinwarden exports or unexports one GPIO pin through sysfs, hands the pin's
files to the user who runs it and can switch on its pull resistor. It is
installed set-user-ID root, executable by the ${PINWARDEN_GROUP} group only.")
if(SHAKELOG_BACKEND_USED STREQUAL "spidev")
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
This build reads the sensor through the kernel's SPI driver (/dev/spidev0.0),
on every Raspberry Pi including the Pi 5, without pigpio and without root:
its users must be in the spi group and SPI enabled (dtparam=spi=on).")
elseif(NOT SHAKELOG_BACKEND_USED STREQUAL "pigpio")
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
This build reads an emulated accelerometer, not the hardware: it is meant
for trying the programs and running their tests away from a Raspberry Pi.")
endif()
if(STATIC_PROGRAMS AND shakelog_deb_arch STREQUAL "armhf")
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
Built for ARMv6 and statically linked: it runs on every 32-bit Raspberry Pi,
the Pi 1, Zero and Zero W as well as the Pi 2, 3, 4, 400, 5 and Zero 2 W.")
elseif(CMAKE_CROSSCOMPILING AND shakelog_deb_arch STREQUAL "armhf")
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
Built for Debian's armhf (ARMv7): it runs on the Pi 2, 3, 4, 400, 5 and
Zero 2 W, not on the ARMv6 Pi 1, Zero and Zero W.")
endif()

# Library dependencies: dpkg-shlibdeps works them out for libraries that come
# from Debian packages.  A pigpio built from source (/usr/local) is not one,
# so then pigpio is named by hand and the rest is left to the C and C++
# runtime libraries that every system has.
# groupadd comes from passwd, which postinst needs for the gpio group.
set(shakelog_depends "passwd")
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
find_program(DPKG_QUERY_EXECUTABLE dpkg-query)
set(shakelog_shlibdeps ON)
if(NOT DPKG_SHLIBDEPS_EXECUTABLE)
  set(shakelog_shlibdeps OFF)
endif()
if(SHAKELOG_BACKEND_USED STREQUAL "pigpio")
  string(APPEND shakelog_depends ", ${SHAKELOG_PIGPIO_DEPENDS}")
  get_filename_component(shakelog_pigpio_real "${Pigpio_LIBRARY}" REALPATH)
  execute_process(COMMAND ${DPKG_QUERY_EXECUTABLE} -S "${shakelog_pigpio_real}"
    RESULT_VARIABLE shakelog_pigpio_packaged OUTPUT_QUIET ERROR_QUIET)
  if(NOT shakelog_pigpio_packaged EQUAL 0)
    set(shakelog_shlibdeps OFF)
  endif()
endif()
if(STATIC_PROGRAMS)
  set(shakelog_shlibdeps OFF)
elseif(NOT shakelog_shlibdeps)
  string(APPEND shakelog_depends ", libc6, libstdc++6")
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ${shakelog_shlibdeps})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${shakelog_depends}")

# The plot tool, where it is installed, runs on Debian's Python packages.
if(EXISTS "${PROJECT_SOURCE_DIR}/tools/plot-capture")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-numpy, python3-matplotlib")
endif()

set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Everything installed but the set-user-ID step (see above), and the files
# that only the package carries (below).
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")
set(PINWARDEN_INSTALLED_PATH "${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/pinwarden")
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in
  ${PROJECT_BINARY_DIR}/packaging/postinst @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postrm.in
  ${PROJECT_BINARY_DIR}/packaging/postrm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_BINARY_DIR}/packaging/postinst;${PROJECT_BINARY_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# What Debian wants in every package besides the programs: the changelog
# and the copyright file, and lintian's overrides with their reasons where
# there are any.  A component of its own, left out of `cmake --install`.
string(TIMESTAMP SHAKELOG_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(shakelog_debian_dir "${PROJECT_BINARY_DIR}/packaging/debian")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${shakelog_debian_dir}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nf ${shakelog_debian_dir}/changelog.Debian RESULT_VARIABLE shakelog_gzip_result)
if(NOT shakelog_gzip_result EQUAL 0)
  message(FATAL_ERROR "packaging: gzip failed on ${shakelog_debian_dir}/changelog.Debian")
endif()
set(shakelog_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
install(FILES ${shakelog_debian_dir}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
  DESTINATION ${shakelog_doc_dir} COMPONENT debian EXCLUDE_FROM_ALL)
# Each overridden tag has its reason beside it in packaging/.
configure_file(${PROJECT_SOURCE_DIR}/packaging/lintian-overrides.in
  ${shakelog_debian_dir}/lintian-overrides @ONLY)
if(STATIC_PROGRAMS)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/lintian-overrides-static.in
    ${shakelog_debian_dir}/lintian-overrides-static @ONLY)
  file(READ ${shakelog_debian_dir}/lintian-overrides-static shakelog_static_overrides)
  file(APPEND ${shakelog_debian_dir}/lintian-overrides "${shakelog_static_overrides}")
endif()
install(FILES ${shakelog_debian_dir}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME}
  COMPONENT debian EXCLUDE_FROM_ALL)
# Debian ships programs stripped.
set(CPACK_STRIP_FILES ON)

include(CPack)

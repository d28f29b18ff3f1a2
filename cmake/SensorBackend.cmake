# Chooses how shakelog reaches the accelerometer (SHAKELOG_BACKEND):
#
#   pigpio    the pigpio C library (root; not on the Raspberry Pi 5)
#   spidev    the kernel's SPI driver, /dev/spidev0.0 (any Pi, group spi)
#   emulated  an emulated ADXL345, for machines without the sensor
#   auto      spidev when building on a Raspberry Pi or for another ARM
#             Linux target that has the spidev header; else emulated.
#             pigpio is built only when named: spidev needs no root and
#             runs on every Pi, the Pi 5 included.
#
# Sets SHAKELOG_BACKEND_USED, and SHAKELOG_SPIDEV_AVAILABLE where the spidev
# backend can be compiled (its tests run there whatever the choice).

set(SHAKELOG_BACKEND "auto" CACHE STRING "Sensor backend: auto, pigpio, spidev or emulated")
set_property(CACHE SHAKELOG_BACKEND PROPERTY STRINGS auto pigpio spidev emulated)

set(SHAKELOG_SPIDEV_AVAILABLE OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  include(CheckIncludeFileCXX)
  check_include_file_cxx(linux/spi/spidev.h SHAKELOG_HAVE_SPIDEV_H)
  if(SHAKELOG_HAVE_SPIDEV_H)
    set(SHAKELOG_SPIDEV_AVAILABLE ON)
  endif()
endif()

# True when this machine is a Raspberry Pi building for itself.
function(shakelog_building_on_raspberry_pi result)
  set(${result} OFF PARENT_SCOPE)
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  foreach(model_file /proc/device-tree/model /sys/firmware/devicetree/base/model)
    if(EXISTS ${model_file})
      file(READ ${model_file} model)
      if(model MATCHES "Raspberry Pi")
        set(${result} ON PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
endfunction()

if(SHAKELOG_BACKEND STREQUAL "auto")
  shakelog_building_on_raspberry_pi(shakelog_on_pi)
  if(SHAKELOG_SPIDEV_AVAILABLE AND shakelog_on_pi)
    set(SHAKELOG_BACKEND_USED spidev)
    set(shakelog_backend_why "building on a Raspberry Pi")
  elseif(SHAKELOG_SPIDEV_AVAILABLE AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|aarch64)")
    set(SHAKELOG_BACKEND_USED spidev)
    set(shakelog_backend_why "building for ARM Linux, as for a Raspberry Pi")
  else()
    set(SHAKELOG_BACKEND_USED emulated)
    set(shakelog_backend_why "not building on or for a Raspberry Pi")
  endif()
  string(APPEND shakelog_backend_why " (-DSHAKELOG_BACKEND=pigpio, spidev or emulated chooses)")
elseif(SHAKELOG_BACKEND STREQUAL "pigpio")
  find_package(Pigpio REQUIRED)
  set(SHAKELOG_BACKEND_USED pigpio)
  set(shakelog_backend_why "asked for (SHAKELOG_BACKEND=pigpio, ${Pigpio_LIBRARY})")
elseif(SHAKELOG_BACKEND STREQUAL "spidev")
  if(NOT SHAKELOG_SPIDEV_AVAILABLE)
    message(FATAL_ERROR "SHAKELOG_BACKEND=spidev needs Linux and its header linux/spi/spidev.h")
  endif()
  set(SHAKELOG_BACKEND_USED spidev)
  set(shakelog_backend_why "asked for (SHAKELOG_BACKEND=spidev)")
elseif(SHAKELOG_BACKEND STREQUAL "emulated")
  set(SHAKELOG_BACKEND_USED emulated)
  set(shakelog_backend_why "asked for (SHAKELOG_BACKEND=emulated)")
else()
  message(FATAL_ERROR
    "SHAKELOG_BACKEND must be auto, pigpio, spidev or emulated, not '${SHAKELOG_BACKEND}'")
endif()
set(SHAKELOG_BACKEND_USED ${SHAKELOG_BACKEND_USED} CACHE INTERNAL "")
shakelog_summary("Sensor backend" "${SHAKELOG_BACKEND_USED}, ${shakelog_backend_why}")

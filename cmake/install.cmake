# `cmake --install`: the public headers under include/velkarin/, the static
# core, the CMake package (velkarin::core) and the pkg-config file velkarin.pc.
# Everything here is the component velkarin_library, which installs without building the
# programs: cmake --build B --target velkarin_core && cmake --install B --component velkarin_library
include(CMakePackageConfigHelpers)

# The public headers, one folder per subsystem; every other header stays private.
set(VELKARIN_PUBLIC_HEADERS
  transport/bus_conditions.hpp
  transport/bus_watch.hpp
  transport/can_frame.hpp
  transport/duration.hpp
  transport/frame_bits.hpp
  transport/interface_facts.hpp
  transport/reply_ledger.hpp
  transport/socketcan_backend.hpp
  transport/transport.hpp
  transport/transport_error.hpp
  transport/unique_fd.hpp
  transport/wait_any.hpp
  damiao/bit_rates.hpp
  damiao/command.hpp
  damiao/cycle.hpp
  damiao/driver.hpp
  damiao/error.hpp
  damiao/frame_format.hpp
  damiao/id_conflict.hpp
  damiao/motor_ids.hpp
  damiao/motor_scan.hpp
  damiao/motor_status.hpp
  damiao/payload.hpp
  damiao/presets.hpp
  damiao/register_kind.hpp
  damiao/registers.hpp
  damiao/reported_limits.hpp
  damiao/special_commands.hpp
  damiao/mit/codec.hpp
  damiao/mit/limits_text.hpp
  damiao/modes/control_setpoint.hpp)
set(VELKARIN_INCLUDE_DEST ${CMAKE_INSTALL_INCLUDEDIR}/velkarin)
foreach(header IN LISTS VELKARIN_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES src/${header} DESTINATION ${VELKARIN_INCLUDE_DEST}/${folder}
          COMPONENT velkarin_library)
endforeach()
install(FILES ${VELKARIN_VERSION_HEADER} DESTINATION ${VELKARIN_INCLUDE_DEST}
        COMPONENT velkarin_library)

install(TARGETS velkarin_core EXPORT velkarinTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT velkarin_library)

set(VELKARIN_CMAKE_DEST ${CMAKE_INSTALL_LIBDIR}/cmake/velkarin)
install(EXPORT velkarinTargets NAMESPACE velkarin:: DESTINATION ${VELKARIN_CMAKE_DEST}
        COMPONENT velkarin_library)
configure_package_config_file(cmake/velkarinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velkarinConfig.cmake INSTALL_DESTINATION ${VELKARIN_CMAKE_DEST})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velkarinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velkarinConfig.cmake
              ${PROJECT_BINARY_DIR}/velkarinConfigVersion.cmake
        DESTINATION ${VELKARIN_CMAKE_DEST} COMPONENT velkarin_library)

file(RELATIVE_PATH VELKARIN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VELKARIN_PC_TO_PREFIX "${VELKARIN_PC_TO_PREFIX}")
configure_file(cmake/velkarin.pc.in ${PROJECT_BINARY_DIR}/velkarin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkarin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT velkarin_library)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)

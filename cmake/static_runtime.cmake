# Release builds (VELKARIN_STATIC_RUNTIME): every module and program carries the C++ run-time, so
# it runs where no compiler, or an older one, is installed.
#   programs (velkarin-sim, velkarin-tool): linked fully static, the C library included: they
#     depend on nothing but the kernel;
#   Python modules: libstdc++ linked statically; the C library and libgcc_s (the unwinder) stay
#     shared, the interpreter's own, the C library held down to glibc 2.17's symbols by
#     src/runtime/glibc_floor.cpp. The unwinder must be the process's one: glibc unwinds a
#     thread that pthread_exit ends (a daemon thread when the interpreter exits) with
#     libgcc_s, and a module's own static copy resuming that unwind aborts the process.
if(VELKARIN_STATIC_RUNTIME)
  add_link_options(-static-libstdc++)
endif()

# Built only for what links it: the release modules, and tests/runtime.
add_library(velkarin_glibc_floor OBJECT EXCLUDE_FROM_ALL
  ${PROJECT_SOURCE_DIR}/src/runtime/glibc_floor.cpp)
set_target_properties(velkarin_glibc_floor PROPERTIES CXX_VISIBILITY_PRESET hidden)
# Before glibc 2.34 the pthread functions the floor forwards to live in libpthread.so.0.
target_link_libraries(velkarin_glibc_floor INTERFACE
  "-Wl,--push-state,--no-as-needed,-l:libpthread.so.0,--pop-state")

# Applied in release builds once every target exists, to each executable and module of the
# directory tree, so that a module or program added anywhere later gets the same treatment.
function(velkarin_static_runtime directory)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE -static -static-libgcc)
    elseif(type STREQUAL "MODULE_LIBRARY" OR type STREQUAL "SHARED_LIBRARY")
      target_link_libraries(${target} PRIVATE velkarin_glibc_floor)
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    velkarin_static_runtime(${subdirectory})
  endforeach()
endfunction()

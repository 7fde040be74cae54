# lumo_add_test(NAME n LABEL subsystem SOURCES ... [LIBS ...] [ENV k=v ...] [TIMEOUT s]
#               [SINGLE_THREADED] [OPTIMIZED])
#
# One GoogleTest executable becomes one CTest test carrying its subsystem's label, so that
# `ctest -L <subsystem>` runs one area. Every test also carries the label "threads" and belongs
# to the target lumo_threaded_tests, which the ThreadSanitizer pass builds and runs, unless it is
# SINGLE_THREADED: its code under test never runs on a second thread, so that pass would find
# nothing in it. An OPTIMIZED test builds inputs of many megabytes in its own code, so it leaves
# out LUMO_DRIVER_FLAGS and is compiled like the library.
function(lumo_add_test)
  cmake_parse_arguments(T "SINGLE_THREADED;OPTIMIZED" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_OPTIMIZED AND LUMO_DRIVER_FLAGS)
    get_target_property(options ${T_NAME} COMPILE_OPTIONS)
    list(REMOVE_ITEM options ${LUMO_DRIVER_FLAGS})
    set_target_properties(${T_NAME} PROPERTIES COMPILE_OPTIONS "${options}")
  endif()
  target_link_libraries(${T_NAME} PRIVATE lumo::headers GTest::gtest GTest::gtest_main ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set(labels ${T_LABEL})
  if(NOT T_SINGLE_THREADED)
    list(APPEND labels threads)
    if(NOT TARGET lumo_threaded_tests)
      add_custom_target(lumo_threaded_tests)
    endif()
    add_dependencies(lumo_threaded_tests ${T_NAME})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()

# lumo_add_bench(NAME n SOURCES ... [LIBS ...])
function(lumo_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  # A benchmark of a subsystem left out by LUMO_ONLY is left out too.
  foreach(lib IN LISTS B_LIBS)
    if(lib MATCHES "^lumo::" AND NOT TARGET ${lib})
      return()
    endif()
  endforeach()
  find_package(benchmark REQUIRED)
  add_executable(bench_${B_NAME} ${B_SOURCES})
  target_link_libraries(bench_${B_NAME} PRIVATE lumo::headers benchmark::benchmark ${B_LIBS})
endfunction()

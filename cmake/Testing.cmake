# Test programs and the Wine session that runs them.

# One private prefix and one persistent wineserver for the whole ctest run, started before the first
# Windows test and stopped after the last (a ctest fixture), so that no Wine process outlives the run.
function(ql_setup_wine)
  set(prefix ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/wine-run.sh ${QL_BITS} ${prefix} PARENT_SCOPE)
  set(QL_WINE_PREFIX ${prefix} PARENT_SCOPE)
  add_test(NAME wine.start COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-session.sh start ${prefix})
  add_test(NAME wine.stop COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-session.sh stop ${prefix})
  set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 600)
  set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
endfunction()

# ql_add_test_program(<program> SOURCES ... [LIBS ...] SUITES <suite>... [TIMEOUT s] [LAUNCHER command...])
# One doctest program for an area. Each of its test suites (TEST_SUITE_BEGIN/END in the sources) is a
# ctest entry of its own, <program>.<suite>, so that time-outs and environments (time zone, DLL
# overrides, display) are set per entry with set_tests_properties. The entry <program>.unlisted fails
# when some test case belongs to no listed suite, since such a case would never run. Windows programs
# run in the shared Wine session, one at a time, since they use the product's machine-wide names
# (mutex, events, windows). LAUNCHER runs each suite's entry under a command (xvfb-run -a for a
# display), ahead of the Wine emulator.
function(ql_add_test_program program)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;SUITES;LAUNCHER" ${ARGN})
  if(NOT T_SUITES)
    message(FATAL_ERROR "ql_add_test_program(${program}): no SUITES")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${program} ${T_SOURCES})
  target_link_libraries(${program} PRIVATE ql_doctest_main ${T_LIBS})
  set(entries)
  foreach(suite IN LISTS T_SUITES)
    if(T_LAUNCHER)
      add_test(NAME ${program}.${suite} COMMAND ${T_LAUNCHER} ${CMAKE_CROSSCOMPILING_EMULATOR}
        $<TARGET_FILE:${program}> --test-suite=${suite})
    else()
      add_test(NAME ${program}.${suite} COMMAND ${program} --test-suite=${suite})
    endif()
    list(APPEND entries ${program}.${suite})
  endforeach()
  list(JOIN T_SUITES "," listed)
  add_test(NAME ${program}.unlisted COMMAND ${program} --count --test-suite-exclude=${listed})
  set_tests_properties(${program}.unlisted PROPERTIES
    PASS_REGULAR_EXPRESSION "passing the current filters: 0[^0-9]")
  list(APPEND entries ${program}.unlisted)
  set_tests_properties(${entries} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(WIN32)
    set_tests_properties(${entries} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine)
  endif()
endfunction()

# Deliverables register themselves; the stage target lays out the installed product tree.
# ql_add_deliverable(<target> [VERSION_RESOURCE <file> <description>]): with a version resource
# that carries the product version (QL_PRODUCT_VERSION) and names the file.
function(ql_add_deliverable target)
  cmake_parse_arguments(D "" "" "VERSION_RESOURCE" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY QL_DELIVERABLES ${target})
  if(D_VERSION_RESOURCE)
    list(GET D_VERSION_RESOURCE 0 QL_VERSION_FILE)
    list(GET D_VERSION_RESOURCE 1 QL_VERSION_DESCRIPTION)
    set(QL_VERSION_TARGET ${target})
    string(REPLACE "." "," QL_VERSION_COMMAS "${QL_PRODUCT_VERSION}.0")
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      set(QL_VERSION_FILETYPE VFT_DLL)
    else()
      set(QL_VERSION_FILETYPE VFT_APP)
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
  endif()
endfunction()

# The stage holds what ships: every deliverable stripped of its symbols and debugging sections,
# which are kept beside the build in <build>/debug/<file>.debug (objcopy --only-keep-debug), each
# stripped image naming its file by a debug link, so that a crash address can still be resolved
# (addr2line -e <build>/debug/<file>.debug <address>). stage/version.txt names the product version
# the binaries carry, for tools/build-msi.sh.
function(ql_add_stage_target)
  get_property(deliverables GLOBAL PROPERTY QL_DELIVERABLES)
  set(debug_dir ${CMAKE_BINARY_DIR}/debug)
  set(staged)
  foreach(t IN LISTS deliverables)
    get_target_property(name ${t} OUTPUT_NAME)
    if(NOT name)
      set(name ${t})
    endif()
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      set(file ${name}.dll)
    else()
      set(file ${name}.exe)
    endif()
    add_custom_command(OUTPUT ${QL_STAGE_DIR}/bin/${file} ${debug_dir}/${file}.debug
      COMMAND ${CMAKE_COMMAND} -E make_directory ${QL_STAGE_DIR}/bin ${debug_dir}
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${t}> ${debug_dir}/${file}.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${debug_dir}/${file}.debug
              $<TARGET_FILE:${t}> ${QL_STAGE_DIR}/bin/${file}
      DEPENDS ${t}
      COMMENT "Staging ${file} stripped, its debugging data in debug/${file}.debug")
    list(APPEND staged ${QL_STAGE_DIR}/bin/${file})
  endforeach()
  file(WRITE ${QL_STAGE_DIR}/version.txt "${QL_PRODUCT_VERSION}\n")
  add_custom_target(stage ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QL_STAGE_DIR}/help
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/help/index.htm ${QL_STAGE_DIR}/help/
    DEPENDS ${staged} ${CMAKE_SOURCE_DIR}/help/index.htm
    COMMENT "Staging the product tree in ${QL_STAGE_DIR}")
endfunction()

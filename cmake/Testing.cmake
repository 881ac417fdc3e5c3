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

# ql_add_test(<name> SOURCES ... [LIBS ...] [TIMEOUT s])
# A doctest program run by ctest; Windows programs run in the shared Wine session, one at a time,
# since they use the product's machine-wide names (mutex, events, windows).
function(ql_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ql_doctest_main ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine)
  endif()
endfunction()

# Deliverables register themselves; the stage target lays out the installed product tree.
function(ql_add_deliverable target)
  set_property(GLOBAL APPEND PROPERTY QL_DELIVERABLES ${target})
endfunction()

function(ql_add_stage_target)
  get_property(deliverables GLOBAL PROPERTY QL_DELIVERABLES)
  set(commands)
  foreach(t IN LISTS deliverables)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${t}> ${QL_STAGE_DIR}/bin/)
  endforeach()
  add_custom_target(stage ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QL_STAGE_DIR}/bin ${QL_STAGE_DIR}/help
    ${commands}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/help/index.htm ${QL_STAGE_DIR}/help/
    DEPENDS ${deliverables} ${CMAKE_SOURCE_DIR}/help/index.htm
    COMMENT "Staging the product tree in ${QL_STAGE_DIR}")
endfunction()

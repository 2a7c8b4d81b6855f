# Line and branch coverage of the program's own code (tools/coverage.sh).
#
# Only code under src/ is compiled with --coverage; every link takes libgcov so
# that the instrumented libraries resolve. Programs and DLLs that are test
# equipment (the simulated agent, the SDK stand-in, the tests of the agent and
# the driver of the end-to-end runs) link the same libraries for their own
# work; their counts would pass for the program's, so in those links libgcov's
# registration of each compiled unit is turned into a call that does nothing,
# and they write no counts at all.
option(QUILLMARK_COVERAGE "Instrument src/ for line and branch coverage" OFF)

if(QUILLMARK_COVERAGE)
  add_link_options(--coverage)
  add_library(qm_coverage_counts_off OBJECT ${CMAKE_CURRENT_LIST_DIR}/coverage_counts_off.c)
endif()

set(_qm_coverage_equipment agent tests/agent tests/agent_sdk tests/e2e)

# Whether a target's folder is FOLDER of the tree or lies below it.
function(_qm_coverage_in_folder result dir folder)
  string(FIND "${dir}/" "${PROJECT_SOURCE_DIR}/${folder}/" at)
  if(at EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Gives one of our targets its part in the coverage build: counted code under
# src/, silenced links under the equipment folders, nothing elsewhere.
function(quillmark_coverage target)
  if(NOT QUILLMARK_COVERAGE)
    return()
  endif()
  get_target_property(dir ${target} SOURCE_DIR)
  get_target_property(type ${target} TYPE)
  _qm_coverage_in_folder(counted "${dir}" src)
  if(counted)
    target_compile_options(${target} PRIVATE --coverage)
    return()
  endif()
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY)$")
    return()
  endif()
  foreach(equipment IN LISTS _qm_coverage_equipment)
    _qm_coverage_in_folder(silenced "${dir}" ${equipment})
    if(silenced)
      target_sources(${target} PRIVATE $<TARGET_OBJECTS:qm_coverage_counts_off>)
      target_link_options(${target} PRIVATE -Wl,--wrap=__gcov_init)
      return()
    endif()
  endforeach()
endfunction()

# Sets KESTROVA_VERSION: PROJECT_VERSION, plus "+gitN.gHASH" when the
# sources are a git clone (N: the commits up to HEAD, HASH: HEAD's short
# hash). A commit or a checkout configures again, so the version follows HEAD.
# -DKESTROVA_VERSION=... sets it by hand (a build from a source archive).
if(DEFINED KESTROVA_VERSION AND NOT KESTROVA_VERSION STREQUAL "")
  return()
endif()
set(KESTROVA_VERSION ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} RESULT_VARIABLE countFailed
                  OUTPUT_VARIABLE commits OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} RESULT_VARIABLE hashFailed
                  OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT countFailed AND NOT hashFailed AND commits MATCHES "^[0-9]+$" AND hash MATCHES "^[0-9a-f]+$")
    set(KESTROVA_VERSION "${PROJECT_VERSION}+git${commits}.g${hash}")
  endif()
  # HEAD (a checkout) and its log (a commit, a reset) of this clone or worktree.
  foreach(name HEAD logs/HEAD)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path ${name}
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(path)
      get_filename_component(path ${path} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
      if(EXISTS ${path})
        set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
      endif()
    endif()
  endforeach()
endif()
message(STATUS "Kestrova version ${KESTROVA_VERSION}")

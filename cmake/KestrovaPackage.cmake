# What `cmake --install` puts where, and the Debian package CPack makes of
# it (scripts/package.sh): the programs, the Python reader for Debian's
# python3, a manual page per program, the menu entry and its icon, the
# cameras' udev rules, and the README, changelog and copyright.
set(KESTROVA_PROGRAMS kestrova kestrova-record kestrova-station kestrova-align kestrova-take)
install(TARGETS ${KESTROVA_PROGRAMS} RUNTIME DESTINATION bin)
install(DIRECTORY python/kestrova/ DESTINATION lib/python3/dist-packages/kestrova
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
install(FILES package/kestrova.desktop DESTINATION share/applications)
install(FILES res/kestrova.png DESTINATION share/icons/hicolor/64x64/apps)
# Where Debian 12's udev and its packages keep their rules.
install(FILES package/61-kestrova.rules DESTINATION /lib/udev/rules.d)
install(FILES README.md package/copyright DESTINATION share/doc/kestrova)

# The manual pages, made from each program's --help and --version
# (`cmake --build build --target kestrova_manpages`, which package.sh runs).
find_program(KESTROVA_HELP2MAN help2man)
set(KESTROVA_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(KESTROVA_MAN_NAMES
  "kestrova=record moving 3D scenes with up to four depth cameras"
  "kestrova-record=record one take without a window"
  "kestrova-station=send this machine's depth cameras to recorders on the network"
  "kestrova-align=refine the camera poses from the overlap of their clouds"
  "kestrova-take=check, inspect, export, replay, reprocess and align takes")
set(pages)
foreach(entry ${KESTROVA_MAN_NAMES})
  string(FIND "${entry}" "=" at)
  string(SUBSTRING "${entry}" 0 ${at} program)
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${entry}" ${at} -1 summary)
  set(page ${KESTROVA_MAN_DIR}/${program}.1.gz)
  if(KESTROVA_HELP2MAN)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTROVA_MAN_DIR}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTROVA_MAN_DIR}/bin
      COMMAND ${CMAKE_COMMAND} -E create_symlink ${CMAKE_SOURCE_DIR}/package/help-for-man.sh
              ${KESTROVA_MAN_DIR}/bin/${program}
      COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY KESTROVA_PROGRAM=$<TARGET_FILE:${program}>
              ${KESTROVA_HELP2MAN} --no-info --no-discard-stderr
              --name=${summary} --section=1 --source=Kestrova --manual=Kestrova
              --output=${KESTROVA_MAN_DIR}/${program}.1 ${KESTROVA_MAN_DIR}/bin/${program}
      COMMAND gzip -9nf ${KESTROVA_MAN_DIR}/${program}.1
      DEPENDS ${program} ${CMAKE_SOURCE_DIR}/package/help-for-man.sh VERBATIM)
  endif()
  list(APPEND pages ${page})
  install(FILES ${page} DESTINATION share/man/man1 OPTIONAL)
endforeach()
if(KESTROVA_HELP2MAN)
  add_custom_target(kestrova_manpages DEPENDS ${pages})
endif()
# The changelog package.sh writes from the history.
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION share/doc/kestrova OPTIONAL)

# Installing (and so packaging) builds nothing: package.sh builds the
# programs and pages it needs, and the tests of a test build are not waited for.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrova)
set(CPACK_PACKAGE_VERSION ${KESTROVA_VERSION})
set(CPACK_PACKAGE_VENDOR "The Kestrova developers")
# A lab that makes its own packages names itself here
# (-DKESTROVA_PACKAGE_MAINTAINER="Name <address>").
set(KESTROVA_PACKAGE_MAINTAINER "The Kestrova developers <kestrova@example.org>" CACHE STRING
    "The Debian package's maintainer: name and address")
set(CPACK_PACKAGE_CONTACT ${KESTROVA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record moving 3D scenes with up to four depth cameras")
# The synopsis is the summary; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kestrova turns every depth frame of up to four cameras (Kinect-class through
libfreenect, simulated, replayed, or sent by other machines over DDS) into 3D
points, thinned, posed into one common frame and cropped to a box, shows them
live and records them as takes.
.
The package holds the window program kestrova, the command-line programs
kestrova-record, kestrova-station, kestrova-align and kestrova-take, the
Python reader of takes (import kestrova), a menu entry and the cameras'
udev rules.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' packages come from the programs themselves (dpkg-shlibdeps);
# the Python reader needs numpy.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_STRIP_FILES ON)
# /usr for the programs, /lib for the udev rules.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)

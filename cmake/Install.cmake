# Install layout and the Debian package.
#
#   bin/                                  the programs (and plug-ins, beside them as in the build tree)
#   share/quillbox/                       the build's share/quillbox tree, whole: program bundles,
#                                         the widget bundle, the shutter sound
#   lib/systemd/user/vigild.service       user unit (Type=notify, Restart=on-failure)
#   share/bash-completion/completions/quillbox
#   share/man/man1/*.1                    manual pages made from each program's --help
#
# Programs find their data relative to their own location (../share/quillbox),
# so a prefix can be moved as a whole. To install another program or plug-in,
# add its target to QUILLBOX_INSTALL_TARGETS; a manual page: QUILLBOX_MAN_PAGES.

# Installing and packaging take what is built and never build: `make package`
# and the README's `make build && cmake --install build` build first, and a
# packaging test must not relink programs that other tests are running.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Target name, then (for a manual page) its one-line description.
set(QUILLBOX_INSTALL_TARGETS vigild quillbox-cli quillbox-devserver quillbox-weeapp-host quillboxWeeApp)
set(QUILLBOX_MAN_PAGES
  "vigild|the evidence capture daemon"
  "quillbox-cli|the evidence capture command-line tool"
  "quillbox-devserver|reference cloud service for local runs and tests"
  "quillbox-weeapp-host|shows the widget plug-in as a live page on loopback")

# The package's version is the programs' bundle version.
file(STRINGS ${CMAKE_SOURCE_DIR}/share/quillbox/vigild.bundle/Info.plist QUILLBOX_PLIST_LINES)
string(REGEX MATCH "<key>CFBundleVersion</key>[^<]*<string>([^<]+)</string>" _ "${QUILLBOX_PLIST_LINES}")
set(QUILLBOX_VERSION ${CMAKE_MATCH_1})

install(DIRECTORY ${CMAKE_BINARY_DIR}/share/quillbox DESTINATION share)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/quillbox.bash-completion
  DESTINATION share/bash-completion/completions RENAME quillbox)
# The unit names the installed daemon, so it is written at install time, when the prefix is known.
install(CODE "
  set(QUILLBOX_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  configure_file(${CMAKE_SOURCE_DIR}/packaging/vigild.service.in ${CMAKE_BINARY_DIR}/packaging/vigild.service @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/packaging/vigild.service DESTINATION lib/systemd/user)

find_program(HELP2MAN_EXECUTABLE help2man)
if(NOT HELP2MAN_EXECUTABLE)
  message(WARNING "help2man not found (make deps installs it): no manual pages")
endif()

# Runs once every target of the project is known, wherever it was added.
function(quillbox_install_targets)
  foreach(t IN LISTS QUILLBOX_INSTALL_TARGETS)
    if(TARGET ${t})
      install(TARGETS ${t} RUNTIME DESTINATION bin LIBRARY DESTINATION bin)
    endif()
  endforeach()
  if(NOT HELP2MAN_EXECUTABLE)
    return()
  endif()
  set(pages)
  foreach(entry IN LISTS QUILLBOX_MAN_PAGES)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 t)
    list(GET entry 1 description)
    if(NOT TARGET ${t})
      continue()
    endif()
    get_target_property(name ${t} OUTPUT_NAME)
    if(NOT name)
      set(name ${t})
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${name}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN_EXECUTABLE} --no-info --version-string=${QUILLBOX_VERSION}
              --name=${description} --output=${page} $<TARGET_FILE:${t}>
      DEPENDS ${t} VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION share/man/man1)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL quillbox_install_targets)

# make package: a .deb whose dependencies dpkg-shlibdeps reads from the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbox)
set(CPACK_PACKAGE_VERSION ${QUILLBOX_VERSION})
set(CPACK_PACKAGE_CONTACT "quillbox developers <quillbox@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "evidence capture daemon, command-line tool and reference service")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, dbus-user-session")
include(CPack)

# Install layout and the Debian packages.
#
#   bin/                                  the programs
#   lib/quillbox/plugins/                 the widget plug-in, libquillboxWeeApp.so (a private
#                                         library: the host looks for it there, see WeeAppLoader)
#   share/quillbox/                       program bundles (each program's Info.plist), the widget
#                                         bundle, the widget page, the shutter sound
#   lib/systemd/user/vigild.service       user unit (Type=notify, Restart=on-failure)
#   share/bash-completion/completions/    one file a program (packaging/quillbox.bash-completion)
#   share/man/man1/*.1.gz                 manual pages: each program's --help (help2man), its
#                                         ENVIRONMENT from the settings table, and the FILES,
#                                         EXAMPLES and other sections of packaging/man/
#   share/doc/<package>/                  copyright, changelog.gz (and README.md.gz)
#
# Programs find their data relative to their own location (../share/quillbox,
# ../lib/quillbox/plugins), so a prefix can be moved as a whole.
#
# Two components, a Debian package each: "quillbox" (the daemon, the tool, the
# widget host and its plug-in: what a user installs) and "devserver"
# (quillbox-devserver, the reference service, a test and development program).
# `cmake --install` installs both. To install another program, add it to
# QUILLBOX_PROGRAMS.

# Installing and packaging take what is built and never build: `make package`
# and the README's `make build && cmake --install build` build first, and a
# packaging test must not relink programs that other tests are running.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME quillbox)

# Target, component, and the manual page's one-line description.
set(QUILLBOX_PROGRAMS
  "vigild|quillbox|the evidence capture daemon"
  "quillbox-cli|quillbox|the evidence capture command-line tool"
  "quillbox-weeapp-host|quillbox|shows the widget plug-in as a live page on loopback"
  "quillbox-devserver|devserver|reference cloud service for local runs and tests")
# The Debian package of each component.
set(QUILLBOX_PACKAGE_quillbox quillbox)
set(QUILLBOX_PACKAGE_devserver quillbox-devserver)

# The packages' version is the programs' bundle version.
file(STRINGS ${CMAKE_SOURCE_DIR}/share/quillbox/vigild.bundle/Info.plist QUILLBOX_PLIST_LINES)
string(REGEX MATCH "<key>CFBundleVersion</key>[^<]*<string>([^<]+)</string>" _ "${QUILLBOX_PLIST_LINES}")
set(QUILLBOX_VERSION ${CMAKE_MATCH_1})

# share/quillbox: the devserver's bundle goes with the devserver.
install(DIRECTORY ${CMAKE_BINARY_DIR}/share/quillbox DESTINATION share COMPONENT quillbox
  PATTERN quillbox-devserver.bundle EXCLUDE)
install(DIRECTORY ${CMAKE_BINARY_DIR}/share/quillbox/quillbox-devserver.bundle
  DESTINATION share/quillbox COMPONENT devserver)
# The unit names the installed daemon, so it is written at install time, when the prefix is known.
install(CODE "
  set(QUILLBOX_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  configure_file(${CMAKE_SOURCE_DIR}/packaging/vigild.service.in ${CMAKE_BINARY_DIR}/packaging/vigild.service @ONLY)"
  COMPONENT quillbox)
install(FILES ${CMAKE_BINARY_DIR}/packaging/vigild.service DESTINATION lib/systemd/user
  COMPONENT quillbox)

# Documentation as Debian keeps it: the copyright as it is, the rest compressed
# (gzip -9n: no name or time inside, so the same tree gives the same bytes).
set(docs)
foreach(component quillbox devserver)
  set(package ${QUILLBOX_PACKAGE_${component}})
  set(dir ${CMAKE_BINARY_DIR}/packaging/doc/${package})
  set(QUILLBOX_PACKAGE ${package})
  configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${dir}/changelog @ONLY)
  set(sources ${dir}/changelog)
  if(component STREQUAL "quillbox")
    list(APPEND sources ${CMAKE_SOURCE_DIR}/README.md)
  endif()
  set(compressed)
  foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${dir}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${dir}/${name}.copy
      COMMAND gzip -9nf ${dir}/${name}.copy
      COMMAND ${CMAKE_COMMAND} -E rename ${dir}/${name}.copy.gz ${dir}/${name}.gz
      DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${dir}/${name}.gz)
  endforeach()
  list(APPEND docs ${compressed})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${compressed}
    DESTINATION share/doc/${package} COMPONENT ${component})
endforeach()
add_custom_target(package-docs ALL DEPENDS ${docs})

find_program(HELP2MAN_EXECUTABLE help2man)
if(NOT HELP2MAN_EXECUTABLE)
  message(WARNING "help2man not found (make deps installs it): no manual pages")
endif()

# The ENVIRONMENT section of a page, made from the settings table by a build
# step (never installed).
add_executable(quillbox-man-environment tools/quillbox-man-environment/main.cpp)
target_link_libraries(quillbox-man-environment PRIVATE quillbox_platform_process)
set_target_properties(quillbox-man-environment PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)

# Runs once every target of the project is known, wherever it was added.
function(quillbox_install_targets)
  if(TARGET quillboxWeeApp)
    install(TARGETS quillboxWeeApp LIBRARY DESTINATION lib/quillbox/plugins COMPONENT quillbox)
  endif()
  set(pages)
  foreach(entry IN LISTS QUILLBOX_PROGRAMS)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 t)
    list(GET entry 1 component)
    list(GET entry 2 description)
    if(NOT TARGET ${t})
      continue()
    endif()
    install(TARGETS ${t} RUNTIME DESTINATION bin COMPONENT ${component})
    get_target_property(name ${t} OUTPUT_NAME)
    if(NOT name)
      set(name ${t})
    endif()
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/quillbox.bash-completion
      DESTINATION share/bash-completion/completions RENAME ${name} COMPONENT ${component})
    if(NOT HELP2MAN_EXECUTABLE)
      continue()
    endif()
    # help2man reads --help and --version (which needs the program's bundle).
    set(man ${CMAKE_BINARY_DIR}/man)
    set(includes)
    set(depends ${t} bundles ${CMAKE_SOURCE_DIR}/packaging/man/${name}.h2m)
    if(component STREQUAL "quillbox")
      # The container's files come first in FILES, then the program's own.
      list(APPEND includes --include=${man}/${name}.environment.h2m
                           --include=${CMAKE_SOURCE_DIR}/packaging/man/container.h2m)
      list(APPEND depends ${man}/${name}.environment.h2m
                          ${CMAKE_SOURCE_DIR}/packaging/man/container.h2m)
      add_custom_command(OUTPUT ${man}/${name}.environment.h2m
        COMMAND ${CMAKE_COMMAND} -E make_directory ${man}
        COMMAND $<TARGET_FILE:quillbox-man-environment> ${name} > ${man}/${name}.environment.h2m
        DEPENDS quillbox-man-environment)
    endif()
    list(APPEND includes --include=${CMAKE_SOURCE_DIR}/packaging/man/${name}.h2m)
    add_custom_command(OUTPUT ${man}/${name}.1 ${man}/${name}.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${man}
      COMMAND ${HELP2MAN_EXECUTABLE} --no-info --name=${description} ${includes}
              --output=${man}/${name}.1 $<TARGET_FILE:${t}>
      COMMAND gzip -9nfk ${man}/${name}.1
      DEPENDS ${depends} VERBATIM)
    list(APPEND pages ${man}/${name}.1.gz)
    install(FILES ${man}/${name}.1.gz DESTINATION share/man/man1 COMPONENT ${component})
  endforeach()
  if(pages)
    add_custom_target(manpages ALL DEPENDS ${pages})
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL quillbox_install_targets)

# make package: a .deb a component (build/quillbox_VERSION_ARCH.deb and
# build/quillbox-devserver_VERSION_ARCH.deb), their dependencies read from the
# binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quillbox devserver)
set(CPACK_PACKAGE_NAME quillbox)
set(CPACK_PACKAGE_VERSION ${QUILLBOX_VERSION})
set(CPACK_PACKAGE_CONTACT "quillbox developers <quillbox@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_QUILLBOX_PACKAGE_NAME quillbox)
set(CPACK_DEBIAN_QUILLBOX_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QUILLBOX_PACKAGE_RECOMMENDS "xdg-utils, dbus-user-session")
set(CPACK_DEBIAN_QUILLBOX_DESCRIPTION "evidence capture daemon and command-line tool
vigild captures the screen when triggered (quillbox trigger), stores the
picture with its digests, proof and Content Credentials in the client
application's container, registers it with the cloud service and uploads it
once the person confirms. quillbox is the command-line tool (trigger, verify,
login, upload, proofs); quillbox-weeapp-host shows the widget plug-in as a
page on loopback. vigild runs as a user service of the graphical session.")
set(CPACK_DEBIAN_DEVSERVER_PACKAGE_NAME quillbox-devserver)
set(CPACK_DEBIAN_DEVSERVER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEVSERVER_DESCRIPTION "reference cloud service for quillbox, for trying out and tests
quillbox-devserver serves the cloud service's API over HTTPS on loopback
with a certificate of its own: logins, registrations, resumable uploads kept
on disk, an RFC 3161 time-stamp authority and the widget's update server, with
fault switches and a request journal for tests. Not for production use.")
include(CPack)

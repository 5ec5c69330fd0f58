# The packages, made by cpack in a built tree (./package runs it):
#   Windows tree  ZEFA1ID-<version>-win64.zip: both programs, the user guide
#                 as one HTML file, a README.txt and SHA256SUMS;
#   native tree   zefa1id_<version>_<arch>.deb: /usr/bin/zefa1id, its man
#                 page (help2man, from --help) and the copyright file.
# The version is the project's, which also goes into the Windows version
# resource, zefa1id --version and the guide.

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZEFA1 ID Programmer")
set(CPACK_PACKAGE_CONTACT "ZEFA1 ID Programmer maintainers")
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

set(zefa_docs ${PROJECT_SOURCE_DIR}/docs)

if(WIN32)
  find_program(ZEFA_PANDOC pandoc REQUIRED)

  # The guide as one HTML file with its screenshots inside, so that it
  # shows complete wherever the zip is unpacked. Its first heading becomes
  # the title, under which the version stands; the anchors are made as
  # GitHub makes them, so that the guide's links work in both.
  file(GLOB zefa_guide_images ${zefa_docs}/images/*.png)
  set(zefa_guide ${CMAKE_BINARY_DIR}/docs/ZEFA1ID-guide.html)
  add_custom_command(
    OUTPUT ${zefa_guide}
    COMMAND ${ZEFA_PANDOC} guide.md --from markdown+gfm_auto_identifiers --to html5 --standalone --self-contained
            --shift-heading-level-by=-1 --css guide.css --variable=lang:ja
            "--metadata=subtitle:バージョン ${PROJECT_VERSION}"
            --output ${zefa_guide}
    WORKING_DIRECTORY ${zefa_docs}
    DEPENDS ${zefa_docs}/guide.md ${zefa_docs}/guide.css ${zefa_guide_images}
    COMMENT "Rendering the user guide"
    VERBATIM)

  # README.txt for Notepad: UTF-8 with a byte order mark, CR LF line ends.
  set(zefa_readme ${CMAKE_BINARY_DIR}/docs/README.txt)
  add_custom_command(
    OUTPUT ${zefa_readme}
    COMMAND ${CMAKE_COMMAND} -DIN=${zefa_docs}/README.txt.in -DOUT=${zefa_readme}
            -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/WindowsText.cmake
    DEPENDS ${zefa_docs}/README.txt.in ${CMAKE_CURRENT_LIST_DIR}/WindowsText.cmake
    VERBATIM)
  add_custom_target(zefa_package_docs ALL DEPENDS ${zefa_guide} ${zefa_readme})

  install(TARGETS ZEFA1ID zefa1id RUNTIME DESTINATION .)
  install(FILES ${zefa_guide} ${zefa_readme} DESTINATION .)
  # Last, over everything installed before it.
  install(CODE "
    set(ZEFA_SUMS_DIR \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/Sha256Sums.cmake\")")

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME ZEFA1ID)
  set(CPACK_PACKAGE_FILE_NAME ZEFA1ID-${PROJECT_VERSION}-win64)
  # Unpacking gives one folder, named as the zip.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  find_program(ZEFA_HELP2MAN help2man REQUIRED)
  find_program(ZEFA_GZIP gzip REQUIRED)

  include(GNUInstallDirs)
  set(zefa_man ${CMAKE_BINARY_DIR}/man/zefa1id.1)
  add_custom_command(
    OUTPUT ${zefa_man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    # The help holds Japanese messages: help2man keeps them only in a UTF-8
    # locale.
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8
            ${ZEFA_HELP2MAN} --no-info --section=1 --locale=C.UTF-8
            "--name=read and set the ID of a ZEFA-1 board on a serial port"
            --output=${zefa_man}
            "${CMAKE_CURRENT_LIST_DIR}/help2man-help $<TARGET_FILE:zefa1id>"
    COMMAND ${ZEFA_GZIP} -9nf ${zefa_man}
    DEPENDS zefa1id ${CMAKE_CURRENT_LIST_DIR}/help2man-help
    COMMENT "Making the man page of zefa1id from its --help"
    VERBATIM)
  add_custom_target(zefa_man_page ALL DEPENDS ${zefa_man}.gz)

  install(TARGETS zefa1id RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${zefa_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${zefa_docs}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zefa1id)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME zefa1id)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends: from what the program links, by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read and set the ID of a ZEFA-1 board on a serial port")
  # The summary is the description's first line.
  set(CPACK_PACKAGE_DESCRIPTION
      "zefa1id reads and sets the ID (0 to 31) of a ZEFA-1 controller board over
a serial line, with the protocol and the messages of the ZEFA1 ID
Programmer window, and exit codes and a CSV log for production lines.")
endif()

include(CPack)

# Installation on Debian and the package of it (cpack -G DEB): the host in
# /usr/sbin, the filter library in /usr/lib/nimbuswatch (where the installed
# host looks for it), the example configuration as a conffile, the systemd
# unit, the logrotate snippet, the README, and a read-only fonts directory of
# links to Debian's Liberation fonts with times.ttf as the fallback.
set(NIMBUSWATCH_PACKAGING ${PROJECT_SOURCE_DIR}/packaging/debian)

install(TARGETS nimbuswatch-host RUNTIME DESTINATION sbin)
install(TARGETS nimbuswatch LIBRARY DESTINATION lib/nimbuswatch NAMELINK_SKIP)
install(FILES ${NIMBUSWATCH_PACKAGING}/nimbuswatch.reg DESTINATION /etc/nimbuswatch)
install(FILES ${NIMBUSWATCH_PACKAGING}/nimbuswatch.logrotate DESTINATION /etc/logrotate.d RENAME nimbuswatch)
install(FILES ${NIMBUSWATCH_PACKAGING}/nimbuswatch.service DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/nimbuswatch)

# The links are made in the build tree and installed as links. Family names
# become lower-case file names, so the links are named in lower case.
set(liberation /usr/share/fonts/truetype/liberation)
set(font_links ${PROJECT_BINARY_DIR}/package-fonts)
file(MAKE_DIRECTORY ${font_links})
set(font_files)
foreach(face Serif-Regular Serif-Bold Serif-Italic Serif-BoldItalic Sans-Regular Sans-Bold Sans-Italic
             Sans-BoldItalic Mono-Regular Mono-Bold Mono-Italic Mono-BoldItalic)
  string(TOLOWER "liberation${face}.ttf" link)
  file(CREATE_LINK ${liberation}/Liberation${face}.ttf ${font_links}/${link} SYMBOLIC)
  list(APPEND font_files ${font_links}/${link})
endforeach()
file(CREATE_LINK ${liberation}/LiberationSerif-Regular.ttf ${font_links}/times.ttf SYMBOLIC)
install(FILES ${font_files} ${font_links}/times.ttf DESTINATION share/nimbuswatch/fonts)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbuswatch)
set(CPACK_PACKAGE_VENDOR nimbuswatch)
set(CPACK_PACKAGE_CONTACT "nimbuswatch maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "response filter that draws textimage elements as pictures")
set(CPACK_PACKAGE_DESCRIPTION
  "nimbuswatch rewrites the pages of a web server while they stream: each textimage element becomes an img element whose GIF picture shows its text, drawn with TrueType fonts. The service runs nimbuswatch-host as a reverse proxy in front of the local web server.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-liberation)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${NIMBUSWATCH_PACKAGING}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The build keeps its debugging information; the package does not.
set(CPACK_STRIP_FILES ON)
include(CPack)

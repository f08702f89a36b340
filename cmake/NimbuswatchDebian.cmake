# Installation on Debian and the package of it (cpack -G DEB): the host in
# /usr/sbin, the filter library in /usr/lib/nimbuswatch (where the installed
# host looks for it), the example configuration as a conffile, the systemd
# unit, the logrotate snippet, the README, and a read-only fonts directory of
# links to Debian's Liberation fonts with times.ttf as the fallback.
set(NIMBUSWATCH_PACKAGING ${PROJECT_SOURCE_DIR}/packaging/debian)
# Everything below without a component of its own is the host's package.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME host)

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

# With the nginx module built, its package too (libnginx-mod-http-nimbuswatch):
# Debian's layout for nginx modules, depending on the nginx ABI it was built
# for, as Debian's own module packages do, and on the host's package for the
# filter library, its settings and its fonts.
if(TARGET ngx_http_nimbuswatch_module)
  install(TARGETS ngx_http_nimbuswatch_module LIBRARY DESTINATION lib/nginx/modules COMPONENT nginx)
  install(FILES ${NIMBUSWATCH_PACKAGING}/nginx/mod-http-nimbuswatch.conf
    DESTINATION share/nginx/modules-available COMPONENT nginx)
  execute_process(COMMAND dpkg-query -W -f=\${Provides} nginx OUTPUT_VARIABLE nginx_provides ERROR_QUIET)
  string(REGEX MATCH "nginx-abi-[^ ,]+" nginx_abi "${nginx_provides}")
  if(NOT nginx_abi)
    message(FATAL_ERROR "the installed nginx names no nginx-abi-* it provides: ${nginx_provides}")
  endif()
  set(CPACK_COMPONENTS_ALL host nginx)
  set(CPACK_DEBIAN_NGINX_PACKAGE_NAME libnginx-mod-http-nimbuswatch)
  set(CPACK_DEBIAN_NGINX_PACKAGE_SECTION httpd)
  set(CPACK_DEBIAN_NGINX_PACKAGE_DEPENDS "${nginx_abi}, nimbuswatch (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_NGINX_PACKAGE_RECOMMENDS nginx)
  set(CPACK_DEBIAN_NGINX_PACKAGE_CONTROL_EXTRA
    ${NIMBUSWATCH_PACKAGING}/nginx/postinst ${NIMBUSWATCH_PACKAGING}/nginx/prerm ${NIMBUSWATCH_PACKAGING}/nginx/postrm)
  set(CPACK_DEBIAN_NGINX_DESCRIPTION
    "The dynamic module ngx_http_nimbuswatch_module runs the nimbuswatch filter in nginx. Where it is turned on, each textimage element of a page becomes an img element whose GIF picture shows its text, and nginx answers the picture requests itself. The module is enabled on install.")
else()
  set(CPACK_COMPONENTS_ALL host)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
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
set(CPACK_DEBIAN_HOST_PACKAGE_NAME nimbuswatch)
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS fonts-liberation)
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA ${NIMBUSWATCH_PACKAGING}/conffiles)
set(CPACK_DEBIAN_HOST_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The build keeps its debugging information; the package does not.
set(CPACK_STRIP_FILES ON)
include(CPack)

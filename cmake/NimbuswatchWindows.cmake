# The Windows package, nimbuswatch-<version>-win64.zip (cpack -G ZIP in the
# Windows build directory): the filter DLL, an example of its registry key
# with Windows paths and the installation guide.
install(FILES $<TARGET_FILE:nimbuswatch> DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/packaging/windows/nimbuswatch.reg
  ${PROJECT_SOURCE_DIR}/packaging/windows/INSTALL.txt
  DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME nimbuswatch)
set(CPACK_PACKAGE_VENDOR nimbuswatch)
set(CPACK_PACKAGE_FILE_NAME nimbuswatch-${PROJECT_VERSION}-win64)
include(CPack)

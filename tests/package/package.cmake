# The Debian package made from this build, unpacked and checked (tests/package/check_package.sh).
find_program(DPKG_DEB_EXECUTABLE dpkg-deb)
find_program(MAN_EXECUTABLE man)
if(NOT DPKG_DEB_EXECUTABLE OR NOT MAN_EXECUTABLE OR NOT TARGET lumivar_man_pages)
  message(WARNING "dpkg-deb, man or the manual pages missing (Debian: dpkg, man-db, pandoc): no package test")
else()
  get_property(package_face GLOBAL PROPERTY lumivar_package_face)
  add_test(NAME debian_package
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_package.sh ${CMAKE_BINARY_DIR} $<IF:$<BOOL:${package_face}>,1,0>)
  set_tests_properties(debian_package PROPERTIES LABELS package TIMEOUT 600)
endif()

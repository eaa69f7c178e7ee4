# Inputs of the release tests: the installer built from packaging/tavrin.nsi
# around the tavrin.exe under test, and in a 64-bit test build also the
# shipped 32-bit build/tavrin.exe (built by scripts/build first) and its x86
# installer, which run where Wine can start 32-bit programs.
find_program(MAKENSIS makensis)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TAVRIN_SHIPPED_EXE "${CMAKE_SOURCE_DIR}/build/tavrin.exe" CACHE FILEPATH
      "The shipped 32-bit tavrin.exe, read back by the release tests")
  set(native_arch amd64)
else()
  set(TAVRIN_SHIPPED_EXE "")
  set(native_arch x86)
endif()

set(make_installer ${CMAKE_SOURCE_DIR}/packaging/make-installer)
set(installer_inputs ${make_installer} ${CMAKE_SOURCE_DIR}/packaging/tavrin.nsi
    ${CMAKE_SOURCE_DIR}/src/version.h ${CMAKE_SOURCE_DIR}/LICENSE)
# Without makensis the installers' names stay empty: their tests skip, saying why.
if(MAKENSIS)
  set(test_installer ${CMAKE_BINARY_DIR}/tavrin-setup-${native_arch}-test.exe)
  add_custom_command(OUTPUT ${test_installer}
    COMMAND ${make_installer} $<TARGET_FILE:tavrin> ${test_installer} ${native_arch}
    DEPENDS tavrin ${installer_inputs}
    COMMENT "Building the installer for the tests (${native_arch})")
  if(TAVRIN_SHIPPED_EXE AND EXISTS "${TAVRIN_SHIPPED_EXE}")
    set(shipped_installer ${CMAKE_BINARY_DIR}/tavrin-setup-x86-test.exe)
    add_custom_command(OUTPUT ${shipped_installer}
      COMMAND ${make_installer} ${TAVRIN_SHIPPED_EXE} ${shipped_installer} x86
      DEPENDS ${TAVRIN_SHIPPED_EXE} ${installer_inputs}
      COMMENT "Building the shipped 32-bit installer for the tests")
  endif()
  add_custom_target(tavrin_test_installers ALL DEPENDS ${test_installer} ${shipped_installer})
  add_dependencies(install_test tavrin_test_installers)
endif()

target_compile_definitions(install_test PRIVATE
  TAVRIN_TEST_INSTALLER="${test_installer}"
  TAVRIN_TEST_INSTALLER_ARCH="${native_arch}"
  TAVRIN_SHIPPED_INSTALLER="${shipped_installer}")
target_link_libraries(install_test PRIVATE ole32 uuid)
target_compile_definitions(version_resource_test PRIVATE TAVRIN_SHIPPED_EXE="${TAVRIN_SHIPPED_EXE}")
target_link_libraries(version_resource_test PRIVATE version)

# The Windows package (cpack -G ZIP): ostrel-<version>-win64.zip, one folder
# holding ostrel.exe, the README, the licence and the manual page as plain
# text, which opens without man. ostrel.exe runs from wherever it is put.
install(TARGETS ostrel RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

# The manual page as groff formats it for a UTF-8 terminal, without the
# overstrikes and escape sequences that bold and underline it there; left
# out where groff is not installed.
find_program(OSTREL_GROFF groff)
if(OSTREL_GROFF)
  set(manual_text ${CMAKE_BINARY_DIR}/ostrel-manual.txt)
  add_custom_command(
    OUTPUT ${manual_text}
    COMMAND sh -c "\"$0\" -man -Tutf8 -P-c -P-b -P-o -P-u \"$1\" >\"$2\""
            ${OSTREL_GROFF} ${CMAKE_BINARY_DIR}/ostrel.1 ${manual_text}
    DEPENDS ${CMAKE_BINARY_DIR}/ostrel.1
    COMMENT "Formatting the manual page as plain text"
    VERBATIM)
  add_custom_target(manual_text ALL DEPENDS ${manual_text})
  install(FILES ${manual_text} DESTINATION .)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)

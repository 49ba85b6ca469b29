# The shippable reporter: a stripped copy of crashreport.exe in <build>/ship/ and its symbols in
# crashreport.exe.debug beside it, tied to it by a debug link (name and CRC), so a crash of the
# reporter itself can still be read. --strip-all rather than --strip-debug: the COFF symbol table
# alone is ~290 KB and lives on in the symbols file.
set(QUILLA_SHIP_DIR ${PROJECT_BINARY_DIR}/ship)
set(QUILLA_SHIP_EXE ${QUILLA_SHIP_DIR}/crashreport.exe)
add_custom_command(
    OUTPUT ${QUILLA_SHIP_EXE} ${QUILLA_SHIP_EXE}.debug
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUILLA_SHIP_DIR}
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:crashreport> crashreport.exe.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=crashreport.exe.debug
            $<TARGET_FILE:crashreport> crashreport.exe
    DEPENDS crashreport
    WORKING_DIRECTORY ${QUILLA_SHIP_DIR}
    COMMENT "Splitting crashreport.exe into a stripped exe and its symbols file"
    VERBATIM)
add_custom_target(crashreport_ship ALL DEPENDS ${QUILLA_SHIP_EXE} ${QUILLA_SHIP_EXE}.debug)

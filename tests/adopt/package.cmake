# Builds an outside project against the library by both routes, in WORK, with the cross toolchain:
# add_subdirectory of the repository, and the library built on its own, installed and found by
# find_package. Each build runs its program once (usage error: exit code 2). No build type is
# given: the library must come out optimised all the same, and install a configuration of its own.
# Usage: cmake -DROOT=<repository> -DWORK=<scratch folder> -DRUN=<wine-run.sh> -P package.cmake
file(REMOVE_RECURSE ${WORK})
set(consumer ${CMAKE_CURRENT_LIST_DIR}/consumer)
set(toolchain -G Ninja -DCMAKE_TOOLCHAIN_FILE=${ROOT}/cmake/i686-w64-mingw32.cmake -DQUILLA_ROOT=${ROOT}
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
# Every run configures and builds afresh; the compiler's output for unchanged sources comes from a
# cache beside WORK, so that a run after the first does not compile the library twice again.
find_program(CCACHE ccache)
if(CCACHE)
    list(APPEND toolchain -DCMAKE_CXX_COMPILER_LAUNCHER=${CCACHE})
    set(ENV{CCACHE_DIR} ${WORK}.ccache)
    set(ENV{CCACHE_NOHASHDIR} 1)  # the same object in both build folders
    set(ENV{CCACHE_MAXSIZE} 200M)
endif()

function(step expected)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL expected)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
    endif()
    message(STATUS "ok: ${ARGN}")
endfunction()

function(optimised tree)
    file(READ ${tree}/compile_commands.json commands)
    if(NOT commands MATCHES "\"command\": \"[^\"]* -O2 [^\"]*/httpclient/client\\.cpp\"")
        message(FATAL_ERROR "the library is not compiled optimised in ${tree}")
    endif()
endfunction()

step(0 ${CMAKE_COMMAND} -S ${consumer} -B ${WORK}/subdirectory ${toolchain} -DROUTE=subdirectory)
optimised(${WORK}/subdirectory)
step(0 ${CMAKE_COMMAND} --build ${WORK}/subdirectory)
step(2 ${RUN} ${WORK}/subdirectory/consumer.exe)
if(EXISTS ${WORK}/subdirectory/quilla/app)
    message(FATAL_ERROR "the repository as a subproject built more than the library")
endif()

step(0 ${CMAKE_COMMAND} -S ${ROOT}/httpclient -B ${WORK}/library ${toolchain})
optimised(${WORK}/library)
step(0 ${CMAKE_COMMAND} --build ${WORK}/library)
step(0 ${CMAKE_COMMAND} --install ${WORK}/library --prefix ${WORK}/prefix)
if(NOT EXISTS ${WORK}/prefix/lib/cmake/TavonHttpClient/TavonHttpClientTargets-relwithdebinfo.cmake)
    message(FATAL_ERROR "the installed package has no RelWithDebInfo configuration")
endif()
step(0 ${CMAKE_COMMAND} -S ${consumer} -B ${WORK}/package ${toolchain} -DCMAKE_PREFIX_PATH=${WORK}/prefix)
step(0 ${CMAKE_COMMAND} --build ${WORK}/package)
step(2 ${RUN} ${WORK}/package/consumer.exe)
file(REMOVE_RECURSE ${WORK})  # only a failed run leaves its builds behind

# The configure-time report URL check: with -DURL=..., checks that one URL; without, runs every
# case in a cmake of its own (a rejected URL ends that cmake) and expects its verdict and message.
cmake_minimum_required(VERSION 3.25)
if(DEFINED URL)
    include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/QuillaReportUrl.cmake)
    quilla_check_report_url("${URL}")
    return()
endif()

set(good
    "http://localhost/vorlex.php" "http://127.0.0.1:18080/vorlex.php" "https://reports.example.com:8443/a/vorlex.php"
    "http://host/")
set(bad
    "http://localhost/vorlex.php?x=1" "http://localhost/vorlex.php#top" "http:///vorlex.php" "http://:80/vorlex.php"
    "ftp://localhost/vorlex.php" "/vorlex.php" "localhost/vorlex.php" "http://localhost" "http://localhost:0/a"
    "http://localhost:65536/a" "http://local host/a" "http://localhost/a\"b" "http://localhost/a\\b")
set(failed "")
foreach(case IN LISTS good bad)
    execute_process(COMMAND ${CMAKE_COMMAND} "-DURL=${case}" -P ${CMAKE_CURRENT_LIST_FILE}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(case IN_LIST good AND NOT rc EQUAL 0)
        string(APPEND failed "rejected good URL ${case}: ${out}\n")
    elseif(case IN_LIST bad AND (rc EQUAL 0 OR NOT out MATCHES "QUILLA_REPORT_URL.*is not a valid[ \n]+report[ \n]+URL"))
        string(APPEND failed "accepted bad URL ${case} (${rc}): ${out}\n")
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "${failed}")
endif()

# The report URL is compiled into the reporter as a C string, and the sending worker appends
# "?version=..." to it: it must be an absolute http(s) URL with a host, a path, and neither a
# query nor a fragment, and hold no character that would need escaping in a C string.
function(quilla_check_report_url url)
    set(host "[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?")
    set(path "/[A-Za-z0-9._~!$&'()*+,;=:@%/-]*")
    if(NOT url MATCHES "^https?://${host}(:([0-9]+))?${path}$")
        message(FATAL_ERROR "QUILLA_REPORT_URL \"${url}\" is not a valid report URL: it must be "
            "http://host[:port]/path or https://host[:port]/path, with no query (?) and no fragment (#).")
    endif()
    if(NOT CMAKE_MATCH_3 STREQUAL "" AND (CMAKE_MATCH_3 LESS 1 OR CMAKE_MATCH_3 GREATER 65535))
        message(FATAL_ERROR "QUILLA_REPORT_URL \"${url}\" is not a valid report URL: port ${CMAKE_MATCH_3} "
            "is out of range (1-65535).")
    endif()
endfunction()

# The development authority is a file any local program can write: only a build whose origin is
# this machine's own server may trust it.
function(qv_check_local_ca_origin origin)
    string(REGEX MATCH "^https://(localhost|127\\.0\\.0\\.1|\\[::1\\])(:[0-9]+)?/?$" loopback
           "${origin}")
    if(NOT loopback)
        message(FATAL_ERROR "QUORVALE_TRUST_LOCAL_CA=ON needs a loopback QUORVALE_ORIGIN "
                            "(localhost, 127.0.0.1 or [::1]), not ${origin}; "
                            "configure with -DQUORVALE_TRUST_LOCAL_CA=OFF")
    endif()
endfunction()

# As a script: cmake -DORIGIN=… -P QuorvaleTrust.cmake fails exactly where a configure would.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    qv_check_local_ca_origin("${ORIGIN}")
endif()

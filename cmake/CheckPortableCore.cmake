# Run as a test (cmake -DSOURCE_DIR=... -P CheckPortableCore.cmake): the portable core
# (the files directly in app/ package/ chip/ gfx/ log/ platform/, which both builds
# compile) holds no wchar_t, no wide C library calls and no operating-system headers.
# wchar_t is 16 bits on Windows and 32 on Linux, so a text built with it would differ
# between the two builds.
file(GLOB core_files
    ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h ${SOURCE_DIR}/package/*.cpp ${SOURCE_DIR}/package/*.h
    ${SOURCE_DIR}/chip/*.cpp ${SOURCE_DIR}/chip/*.h ${SOURCE_DIR}/gfx/*.cpp ${SOURCE_DIR}/gfx/*.h
    ${SOURCE_DIR}/log/*.cpp ${SOURCE_DIR}/log/*.h ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/platform/*.h)
# Regular expressions; an identifier must stand alone, a wide literal prefix must not be
# the end of a longer name or part of a character literal.
set(word_start "(^|[^A-Za-z0-9_'\"])")
set(word_end "([^A-Za-z0-9_]|$)")
set(forbidden
    "${word_start}wchar_t${word_end}" "${word_start}L[\"']" "std::wstring" "${word_start}(w|sw|fw)printf${word_end}"
    "${word_start}wcs[a-z]+${word_end}" "#include <(windows|unistd|fcntl|time)\\.h>")
set(faults "")
foreach(path IN LISTS core_files)
    file(READ "${path}" code)
    string(REGEX REPLACE "//[^\n]*" "" code "${code}")
    foreach(pattern IN LISTS forbidden)
        if(code MATCHES "${pattern}")
            file(RELATIVE_PATH rel "${SOURCE_DIR}" "${path}")
            string(STRIP "${CMAKE_MATCH_0}" found)
            string(APPEND faults "  ${rel}: ${found}\n")
        endif()
    endforeach()
endforeach()
if(faults)
    message(FATAL_ERROR "The portable core must build the same on Linux and Windows:\n${faults}")
endif()
list(LENGTH core_files count)
message(STATUS "${count} core files checked")

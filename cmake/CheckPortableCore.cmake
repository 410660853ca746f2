# Run as a test (cmake -DSOURCE_DIR=... -P CheckPortableCore.cmake): the portable core
# (the files directly in app/ package/ chip/ gfx/ log/ platform/, which both builds
# compile) holds no wchar_t, no wide C library calls and no operating-system headers.
# wchar_t is 16 bits on Windows and 32 on Linux, so a text built with it would differ
# between the two builds.
file(GLOB core_files
    ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h ${SOURCE_DIR}/package/*.cpp ${SOURCE_DIR}/package/*.h
    ${SOURCE_DIR}/chip/*.cpp ${SOURCE_DIR}/chip/*.h ${SOURCE_DIR}/gfx/*.cpp ${SOURCE_DIR}/gfx/*.h
    ${SOURCE_DIR}/log/*.cpp ${SOURCE_DIR}/log/*.h ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/platform/*.h)
set(forbidden
    "wchar_t" "L\"" "L'" "std::wstring" "wprintf" "wcslen" "wcscpy" "wcscmp" "wcstod" "swprintf"
    "#include <windows.h>" "#include <unistd.h>" "#include <fcntl.h>" "#include <time.h>")
set(faults "")
foreach(path IN LISTS core_files)
    file(STRINGS "${path}" lines)
    set(n 0)
    foreach(line IN LISTS lines)
        math(EXPR n "${n} + 1")
        string(REGEX REPLACE "//.*$" "" code "${line}")
        foreach(word IN LISTS forbidden)
            string(FIND "${code}" "${word}" at)
            if(NOT at EQUAL -1)
                file(RELATIVE_PATH rel "${SOURCE_DIR}" "${path}")
                string(APPEND faults "  ${rel}:${n}: ${word}\n")
            endif()
        endforeach()
    endforeach()
endforeach()
if(faults)
    message(FATAL_ERROR "The portable core must build the same on Linux and Windows:\n${faults}")
endif()
list(LENGTH core_files count)
message(STATUS "${count} core files checked")

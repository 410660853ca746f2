# The resources of KDX4610_update.exe, read back from the built program through its resource
# table (tests/e2e/win_resources.py): the images, dialog 102, the string tables and the
# version block under their languages, the manifest's entries and the icon's sizes.
# Included by tests/CMakeLists.txt (Windows build only).

if(CMAKE_CROSSCOMPILING AND WIN32 AND TARGET KDX4610_update)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    add_test(NAME win_resources
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/win_resources.py $<TARGET_FILE:KDX4610_update>)
endif()

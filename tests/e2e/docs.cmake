# The documents' commands: every shell block marked ```sh docs-test runs against this build
# tree (tests/docs/run_doc_blocks.py), one test per document, so the documents cannot drift
# from the programs. Blocks for the cross build say tree=windows.
file(GLOB KDX_DOCUMENTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/*.md)
if(CMAKE_CROSSCOMPILING)
    set(KDX_DOCS_TREE windows)
else()
    set(KDX_DOCS_TREE native)
endif()
foreach(document IN LISTS KDX_DOCUMENTS)
    file(READ ${document} text)
    string(REGEX MATCHALL "```sh docs-test[^\n]*" marks "${text}")
    set(mine "")
    foreach(mark IN LISTS marks)
        if(KDX_DOCS_TREE STREQUAL windows AND mark MATCHES "tree=windows")
            list(APPEND mine ${mark})
        elseif(KDX_DOCS_TREE STREQUAL native AND NOT mark MATCHES "tree=")
            list(APPEND mine ${mark})
        endif()
    endforeach()
    if(NOT mine)
        continue()
    endif()
    get_filename_component(name ${document} NAME_WE)
    string(TOLOWER ${name} name)
    add_test(NAME docs_${name}
        COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/docs/run_doc_blocks.py ${document}
                --source ${CMAKE_SOURCE_DIR} --build ${CMAKE_BINARY_DIR} --tree ${KDX_DOCS_TREE}
                --work ${CMAKE_CURRENT_BINARY_DIR}/docs/${name})
    set_tests_properties(docs_${name} PROPERTIES LABELS docs TIMEOUT 600)
    if(KDX_DOCS_TREE STREQUAL windows)
        set_tests_properties(docs_${name} PROPERTIES FIXTURES_REQUIRED wine_prefix)
    endif()
endforeach()

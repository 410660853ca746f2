# The documents' commands: every shell block marked ```sh docs-test runs against this build
# tree (tests/docs/run_doc_blocks.py), one test per document, so the documents cannot drift
# from the programs. Blocks for the cross build say tree=windows.
file(GLOB KDX_DOCUMENTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/*.md)
foreach(document IN LISTS KDX_DOCUMENTS)
    file(READ ${document} text)
    string(REGEX MATCHALL "```sh docs-test[^\n]*" marks "${text}")
    if(CMAKE_CROSSCOMPILING)
        set(KDX_DOCS_TREE windows)
        set(prefix FIXTURES_REQUIRED wine_prefix)
        list(FILTER marks INCLUDE REGEX "tree=windows")
    else()
        set(KDX_DOCS_TREE native)
        set(prefix "")
        list(FILTER marks EXCLUDE REGEX "tree=")
    endif()
    if(NOT marks)
        continue()
    endif()
    get_filename_component(name ${document} NAME_WE)
    string(TOLOWER ${name} name)
    add_test(NAME docs_${name}
        COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/docs/run_doc_blocks.py ${document}
                --source ${CMAKE_SOURCE_DIR} --build ${CMAKE_BINARY_DIR} --tree ${KDX_DOCS_TREE}
                --work ${CMAKE_CURRENT_BINARY_DIR}/docs/${name} --sanitizer=$<BOOL:${KDX_SANITIZE}>)
    set_tests_properties(docs_${name} PROPERTIES LABELS docs TIMEOUT 600 ${prefix})
endforeach()

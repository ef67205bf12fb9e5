# What the Windows build takes from outside the tree, none of which Debian ships built for
# Windows: SQLite from its single-file source (FLASHKIT_SQLITE_DIR, made by
# scripts/build-windows.sh), the header-only JSON and command-line libraries from the build
# machine's own headers, and GoogleTest from its sources.
set(FLASHKIT_SQLITE_DIR "" CACHE PATH "Folder holding SQLite's sqlite3.c and sqlite3.h")
if(NOT EXISTS "${FLASHKIT_SQLITE_DIR}/sqlite3.c")
    message(FATAL_ERROR "FLASHKIT_SQLITE_DIR must name a folder with sqlite3.c "
                        "(scripts/build-windows.sh makes one)")
endif()

enable_language(C)  # SQLite
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

# Every program is linked statically: it runs with the system's own DLLs alone.
add_link_options(-static -static-libgcc -static-libstdc++)

add_library(flashkit_sqlite3 STATIC "${FLASHKIT_SQLITE_DIR}/sqlite3.c")
target_include_directories(flashkit_sqlite3 SYSTEM PUBLIC "${FLASHKIT_SQLITE_DIR}")
target_compile_definitions(flashkit_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
add_library(SQLite::SQLite3 ALIAS flashkit_sqlite3)

# Only these two folders of the build machine's headers: the rest of /usr/include is Linux's.
set(FLASHKIT_HOST_HEADERS "${PROJECT_BINARY_DIR}/host-headers")
file(MAKE_DIRECTORY "${FLASHKIT_HOST_HEADERS}")
foreach(folder nlohmann CLI)
    if(NOT EXISTS "${FLASHKIT_HOST_HEADERS}/${folder}")
        file(CREATE_LINK "/usr/include/${folder}" "${FLASHKIT_HOST_HEADERS}/${folder}" SYMBOLIC)
    endif()
endforeach()
add_library(flashkit_host_headers INTERFACE)
target_include_directories(flashkit_host_headers SYSTEM INTERFACE "${FLASHKIT_HOST_HEADERS}")
add_library(nlohmann_json::nlohmann_json ALIAS flashkit_host_headers)
add_library(CLI11::CLI11 ALIAS flashkit_host_headers)

if(FLASHKIT_BUILD_TESTS)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endif()

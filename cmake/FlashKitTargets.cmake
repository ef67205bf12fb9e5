# Per-target defaults: C++20, warnings, and the sanitizer chosen for the build tree.
set(FLASHKIT_SANITIZE "" CACHE STRING "Sanitizer build: empty, address (with undefined) or thread")

function(flashkit_target_defaults target)
    target_compile_features(${target} PUBLIC cxx_std_20)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    # Windows: the few POSIX headers and calls the core uses (sockets' address texts, file
    # reads), from platform/windows, so the core's files stay the same for both systems.
    if(WIN32)
        set(windows_dir ${PROJECT_SOURCE_DIR}/platform/windows)
        target_compile_options(${target} PUBLIC -include ${windows_dir}/posix_files.h)
        target_include_directories(${target} PUBLIC ${windows_dir}/posix)
        target_compile_definitions(${target} PUBLIC _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN
                                                    NOMINMAX)
        target_link_libraries(${target} PUBLIC ws2_32)
    endif()
    if(FLASHKIT_SANITIZE STREQUAL "address")
        target_compile_options(${target} PUBLIC -fsanitize=address,undefined -fno-omit-frame-pointer
                                                -fno-sanitize-recover=undefined)
        target_link_options(${target} PUBLIC -fsanitize=address,undefined)
    elseif(FLASHKIT_SANITIZE STREQUAL "thread")
        target_compile_options(${target} PUBLIC -fsanitize=thread -fno-omit-frame-pointer)
        target_link_options(${target} PUBLIC -fsanitize=thread)
    endif()
    # Fuzz trees: every library carries the fuzzer's coverage hooks and both sanitizers, so a
    # fault anywhere under a target is caught; the targets add the fuzzer's main when linked.
    if(FLASHKIT_FUZZ)
        target_compile_options(${target} PUBLIC -fsanitize=fuzzer-no-link,address,undefined
                                                -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        target_link_options(${target} PUBLIC -fsanitize=address,undefined)
    endif()
endfunction()

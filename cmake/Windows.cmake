# The Windows build (MinGW-w64, see cmake/mingw-w64-x86_64.cmake): the
# cross-built libraries written down by scripts/build-windows-libs.sh, and
# programs that run on a bare Windows without any MinGW DLL.
if(NOT PROCWARD_WIN_DEPS)
  message(FATAL_ERROR "set PROCWARD_WIN_DEPS to the file scripts/build-windows-libs.sh writes")
endif()
include(${PROCWARD_WIN_DEPS})
set(spdlog_DIR ${CMAKE_CURRENT_LIST_DIR}/windows CACHE PATH "" FORCE)
set(RapidJSON_DIR ${CMAKE_CURRENT_LIST_DIR}/windows CACHE PATH "" FORCE)
# The mail client's TLS: the cross-built static OpenSSL (FindOpenSSL adds
# the ws2_32 and crypt32 it needs).
set(OPENSSL_ROOT_DIR ${PROCWARD_WIN_OPENSSL})
set(OPENSSL_USE_STATIC_LIBS TRUE)

# The system headers for Windows 7 and later (the program calls the wide
# "W" functions by name where a text reaches the system).
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
# localtime_r and gmtime_r from the C runtime's localtime_s and gmtime_s.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS)
# The program's texts are UTF-8 on every system, the sources' literals
# included; the platform layer speaks to the system in UTF-16 and converts
# files kept in the ANSI code page when it reads and writes them.
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-finput-charset=UTF-8> $<$<COMPILE_LANGUAGE:CXX>:-fexec-charset=UTF-8>)
# GCC 12 at -O2 warns that std::string's own concatenations may copy
# overlapping bytes (its bug 105329, a false positive in the library's
# inlined code); with the Release flags of this build it would flag half the
# code base, so that one warning is off here.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()
# The C and C++ runtimes and winpthreads linked in.
add_link_options(-static -static-libgcc -static-libstdc++)
enable_language(RC)

# Dependencies of the Windows cross-build (cmake/mingw-w64-x86_64.cmake), under the names
# the Linux build gets from find_package, so that the targets link the same way on both.
#
# Boost's Asio, System, CRC and shared_mutex are header-only on Windows, and nlohmann's
# JSON is header-only everywhere: both come from the host's Debian headers. Only their own
# directories are put on the include path (through links in the build tree); the rest of
# /usr/include belongs to the host's C library and must stay out of a Windows build.

set(QUORIN_HOST_HEADERS ${CMAKE_BINARY_DIR}/host_headers)
foreach(library boost nlohmann)
  if(NOT EXISTS ${QUORIN_HOST_INCLUDE_DIR}/${library})
    message(FATAL_ERROR "${QUORIN_HOST_INCLUDE_DIR}/${library} is missing (scripts/setup installs it)")
  endif()
  file(MAKE_DIRECTORY ${QUORIN_HOST_HEADERS})
  file(CREATE_LINK ${QUORIN_HOST_INCLUDE_DIR}/${library} ${QUORIN_HOST_HEADERS}/${library} SYMBOLIC)
endforeach()

add_library(quorin_host_headers INTERFACE)
target_include_directories(quorin_host_headers SYSTEM INTERFACE ${QUORIN_HOST_HEADERS})

add_library(Boost::system ALIAS quorin_host_headers)
add_library(Boost::thread ALIAS quorin_host_headers)
add_library(nlohmann_json::nlohmann_json ALIAS quorin_host_headers)

# Windows 10 API level; Winsock through Asio before <windows.h>, and none of <windows.h>'s
# GDI macros (ERROR would clash with Log_Level::ERROR) or min/max macros.
add_compile_definitions(_WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOGDI NOMINMAX)

# Winsock (Asio), the registry (advapi32) and the Setup API (port discovery).
set(QUORIN_PLATFORM_LIBRARIES ws2_32 mswsock setupapi advapi32)

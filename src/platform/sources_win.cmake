# The Windows side of the platform layer, listed once for the library (sources.cmake) and for the
# Windows tests (tests/windows), which build it without Qt. Sets TUK_PLATFORM_WIN_SOURCES
# (absolute paths) and TUK_PLATFORM_WIN_LIBS. TUKSystem_win.cpp holds the module's DllMain.
set(_tuk_platform_dir ${CMAKE_CURRENT_LIST_DIR})
set(TUK_PLATFORM_WIN_SOURCES
    ${_tuk_platform_dir}/TUKConnectivity_win.cpp
    ${_tuk_platform_dir}/TUKFaultGuard_win.cpp
    ${_tuk_platform_dir}/TUKSehFrame_win_p.h
    ${_tuk_platform_dir}/TUKSystem_win.cpp
    ${_tuk_platform_dir}/TUKUrlOpener_win.cpp
    ${_tuk_platform_dir}/TUKWideText_win_p.h)
# The structured exception frame: g++ has no __try and gets a frame written in assembly; MSVC and
# clang use __try/__except (clang for the GNU target only with -fms-extensions).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    list(APPEND TUK_PLATFORM_WIN_SOURCES ${_tuk_platform_dir}/TUKSehFrame_win_gnu.cpp)
else()
    list(APPEND TUK_PLATFORM_WIN_SOURCES ${_tuk_platform_dir}/TUKSehFrame_win_msc.cpp)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND NOT MSVC)
        set_source_files_properties(${_tuk_platform_dir}/TUKSehFrame_win_msc.cpp
            PROPERTIES COMPILE_OPTIONS -fms-extensions)
    endif()
endif()
set(TUK_PLATFORM_WIN_LIBS wininet ole32 oleaut32 shell32 uuid)

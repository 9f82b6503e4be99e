# The operating-system layer: one file per service and OS, chosen here. Nothing outside this
# folder knows which OS it is built for.
target_sources(tukcloudutils_objects PRIVATE
    platform/TUKConnectivity_p.h
    platform/TUKFaultGuard_p.h
    platform/TUKSystem_p.h
    platform/TUKUrlOpener_p.h)

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/sources_win.cmake)
    target_sources(tukcloudutils_objects PRIVATE ${TUK_PLATFORM_WIN_SOURCES})
    set(TUK_PLATFORM_LIBS ${TUK_PLATFORM_WIN_LIBS})
else()
    target_sources(tukcloudutils_objects PRIVATE
        platform/TUKConnectivity_linux.cpp
        platform/TUKFaultGuard_linux.cpp
        platform/TUKSystem_linux.cpp
        platform/TUKUrlOpener_linux.cpp)
    # NetworkManager's connectivity state is read over D-Bus.
    set(TUK_PLATFORM_LIBS Qt5::DBus)
endif()
target_link_libraries(tukcloudutils_objects PRIVATE ${TUK_PLATFORM_LIBS})

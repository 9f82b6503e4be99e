# Sources of this subsystem are added to tukcloudutils_objects here.

# URL opener behind executeURL (each file compiles to nothing on the other platform).
target_sources(tukcloudutils_objects PRIVATE
    platform/TUKUrlOpener_p.h
    platform/TUKUrlOpener_linux.cpp
    platform/TUKUrlOpener_win.cpp)

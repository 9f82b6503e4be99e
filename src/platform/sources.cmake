# Sources of this subsystem are added to tukcloudutils_objects here.

# Fault guard of TUKThread (each file compiles to nothing on the other platform).
target_sources(tukcloudutils_objects PRIVATE
    platform/TUKFaultGuard_p.h
    platform/TUKFaultGuard_linux.cpp
    platform/TUKFaultGuard_win.cpp)

# URL opener behind executeURL (each file compiles to nothing on the other platform).
target_sources(tukcloudutils_objects PRIVATE
    platform/TUKUrlOpener_p.h
    platform/TUKUrlOpener_linux.cpp
    platform/TUKUrlOpener_win.cpp)

# Connectivity answers of the network monitor's probe (each file compiles to nothing on the other
# platform).
target_sources(tukcloudutils_objects PRIVATE
    platform/TUKConnectivity_p.h
    platform/TUKConnectivity_linux.cpp
    platform/TUKConnectivity_win.cpp)

# Pieces every subsystem shares: the blocking wait and the logging categories.
target_sources(tukcloudutils_objects PRIVATE
    core/TUKBlockingWait_p.h
    core/TUKBlockingWait.cpp
    core/TUKLogging_p.h
    core/TUKLogging.cpp)

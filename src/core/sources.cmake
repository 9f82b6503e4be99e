# Pieces every subsystem shares: the blocking wait, the check of a body against its announced
# length, and the logging categories.
target_sources(tukcloudutils_objects PRIVATE
    core/TUKBlockingWait_p.h
    core/TUKBlockingWait.cpp
    core/TUKBodyCheck_p.h
    core/TUKBodyCheck.cpp
    core/TUKLogging_p.h
    core/TUKLogging.cpp)

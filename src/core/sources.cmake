# Pieces every subsystem shares: the blocking wait, the check of a body against its announced
# length, the watch for a close Qt missed, and the logging categories.
target_sources(tukcloudutils_objects PRIVATE
    core/TUKBlockingWait_p.h
    core/TUKBlockingWait.cpp
    core/TUKBodyCheck_p.h
    core/TUKBodyCheck.cpp
    core/TUKReplyWatch_p.h
    core/TUKReplyWatch.cpp
    core/TUKLogging_p.h
    core/TUKLogging.cpp)

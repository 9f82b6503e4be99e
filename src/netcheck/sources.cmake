# Sources of this subsystem are added to tukcloudutils_objects here.
target_sources(tukcloudutils_objects PRIVATE
    ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils/TUKNetWorkCheck.h
    netcheck/TUKNetWorkCheck.cpp
    netcheck/TUKNetWorkChekThread_p.h
    netcheck/TUKNetWorkChekThread.cpp
    netcheck/TUKNetWorkCheckWorker_p.h
    netcheck/TUKNetWorkCheckWorker.cpp)


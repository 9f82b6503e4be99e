# Sources of this subsystem are added to tukcloudutils_objects here.
target_sources(tukcloudutils_objects PRIVATE
    ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils/TUKThread.h
    thread/TUKThread.cpp)

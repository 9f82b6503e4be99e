target_sources(tukcloudutils_objects PRIVATE
    ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils/TUKCloudInfo.h
    util/TUKCloudInfo.cpp)

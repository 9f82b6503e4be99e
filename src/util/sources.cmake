target_sources(tukcloudutils_objects PRIVATE
    ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils/TUKCloudInfo.h
    ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils/TUKFileUtils.h
    util/TUKCloudInfo.cpp
    util/TUKFileUtils.cpp
    util/TUKUrlLauncher.cpp)

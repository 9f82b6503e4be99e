target_sources(tukcloudutils_objects PRIVATE
    ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils/TUKHttpService.h
    http/TUKHttpService_p.h
    http/TUKHttpService.cpp
    http/TUKHttpService_transfer.cpp)

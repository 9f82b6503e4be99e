target_sources(tukcloudutils_objects PRIVATE
    ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils/TUKDownloadManager.h
    download/TUKDownloadManager_p.h
    download/TUKDownloadManager.cpp)

target_sources(tukcloudutils_objects PRIVATE
    module/TUKModule_p.h
    module/TUKModule.cpp)

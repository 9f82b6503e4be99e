#include "module/TUKModule_p.h"

TUKCloudInfo getCloudInfo()
{
    return tuk::module::cloudInfo;
}

void setCloudInfo(const TUKCloudInfo& info)
{
    tuk::module::cloudInfo = info;
}

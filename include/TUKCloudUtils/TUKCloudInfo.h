#ifndef TUKCLOUDUTILS_TUKCLOUDINFO_H
#define TUKCLOUDUTILS_TUKCLOUDINFO_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QString>

/*!
 * \struct TUKCloudInfo
 * \brief Process-wide settings record the host shares between its parts through the library.
 *
 * The library stores the values and never reads them; their meaning is the host's. The record in
 * the library starts with nValue 0 and six empty strings.
 */
struct TUKCloudInfo
{
    int nValue = 0;
    QString strValue1;
    QString strValue2;
    QString strValue3;
    QString strValue4;
    QString strValue5;
    QString strValue6;
};

/*!
 * Returns a copy of the process-wide record; changing the copy does not change the record.
 * Not locked: callers that share the record across threads order their calls themselves.
 */
TUKCLOUDUTILS_EXPORT TUKCloudInfo getCloudInfo();

/*! Overwrites the process-wide record with \a info, field by field. Not locked (see getCloudInfo).
 */
TUKCLOUDUTILS_EXPORT void setCloudInfo(const TUKCloudInfo& info);

#endif // TUKCLOUDUTILS_TUKCLOUDINFO_H

#ifndef TUKCLOUDUTILS_TUKCLOUDINFO_H
#define TUKCLOUDUTILS_TUKCLOUDINFO_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QString>

/*!
 * \file TUKCloudInfo.h
 * \brief The process-wide settings record and its two accessors, getCloudInfo() and
 * setCloudInfo().
 */

/*!
 * \struct TUKCloudInfo
 * \brief Process-wide settings record the host shares between its parts through the library.
 *
 * The library stores the values and never reads them; their meaning is the host's. The record in
 * the library starts with nValue 0 and six empty strings.
 */
struct TUKCloudInfo
{
    /*! The host's number; starts at 0. */
    int nValue = 0;
    /*! The host's first text; starts empty, as do the five that follow. */
    QString strValue1;
    /*! The host's second text. */
    QString strValue2;
    /*! The host's third text. */
    QString strValue3;
    /*! The host's fourth text. */
    QString strValue4;
    /*! The host's fifth text. */
    QString strValue5;
    /*! The host's sixth text. */
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

// The process-wide settings record: starts empty, holds exactly what the host stores, and hands
// out copies that do not write back.
#include <TUKCloudUtils/TUKCloudInfo.h>

#include <QtTest>

namespace {

QStringList strings(const TUKCloudInfo& info)
{
    return {info.strValue1, info.strValue2, info.strValue3,
            info.strValue4, info.strValue5, info.strValue6};
}

} // namespace

class TestCloudInfo : public QObject
{
    Q_OBJECT

private slots:
    // Must stay first: it looks at the record before anything has been stored in this process.
    void startsEmpty();
    void storesAndHandsOutCopies();
};

void TestCloudInfo::startsEmpty()
{
    const TUKCloudInfo info = getCloudInfo();
    QCOMPARE(info.nValue, 0);
    for (const QString& s : strings(info))
        QVERIFY(s.isNull());
}

void TestCloudInfo::storesAndHandsOutCopies()
{
    TUKCloudInfo in;
    in.nValue = -2147483647 - 1;
    in.strValue1 = QStringLiteral("one");
    in.strValue2 = QString::fromUtf8("zwei \xc3\xbc \xe4\xb8\x89");
    in.strValue4 = QStringLiteral("");
    in.strValue5 = QString(QChar(0)) + QStringLiteral("after nul");
    in.strValue6 = QString(100000, QLatin1Char('6'));
    const QStringList expected = strings(in);

    setCloudInfo(in);
    in.strValue1 = QStringLiteral("changed after set"); // the record holds its own copy
    TUKCloudInfo out = getCloudInfo();
    QCOMPARE(out.nValue, -2147483647 - 1);
    QCOMPARE(strings(out), expected);
    QVERIFY(out.strValue3.isNull());

    // Changing a copy handed out changes nothing; neither does storing what was read.
    out.nValue = 7;
    out.strValue2[0] = QLatin1Char('Z');
    setCloudInfo(getCloudInfo());
    QCOMPARE(getCloudInfo().nValue, -2147483647 - 1);
    QCOMPARE(strings(getCloudInfo()), expected);
}

QTEST_GUILESS_MAIN(TestCloudInfo)
#include "tst_cloudinfo.moc"

// The link's health as the operator and the statistics lines see it: the state from phase,
// silence and port, the rates between two refreshes, and the keys of a statistics line.
#include "manager/LinkHealth.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class LinkHealthTest : public QObject
{
    Q_OBJECT

private slots:
    void stateFollowsPhaseSilenceAndPort_data()
    {
        QTest::addColumn<int>("phase");
        QTest::addColumn<bool>("portLost");
        QTest::addColumn<int>("recordAgoMs");  // -1: no record from the aircraft yet
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("silentSeconds");
        const auto row = [](const char *name, LinkHealth::Phase phase, bool portLost, int agoMs,
                            const char *state, int silent) {
            QTest::newRow(name) << int(phase) << portLost << agoMs << QString(state) << silent;
        };
        row("idle", LinkHealth::Idle, false, -1, "Stopped", 0);
        row("authenticating", LinkHealth::Authentication, false, -1, "Authenticating", 0);
        row("port lost while authenticating", LinkHealth::Authentication, true, -1, "ModemPortLost", 0);
        row("modem routine", LinkHealth::ModemRoutine, false, -1, "ConfiguringModem", 0);
        row("record 1 s ago", LinkHealth::Relay, false, 1000, "Relaying", 1);
        row("record 4 s ago", LinkHealth::Relay, false, 4000, "AircraftSilent", 4);
        // Relaying for 5 s (below) without a single record is silence too.
        row("nothing since the start", LinkHealth::Relay, false, -1, "AircraftSilent", 5);
        row("port lost while relaying", LinkHealth::Relay, true, 1000, "ModemPortLost", 1);
    }
    void stateFollowsPhaseSilenceAndPort()
    {
        QFETCH(int, phase);
        QFETCH(bool, portLost);
        QFETCH(int, recordAgoMs);
        QFETCH(QString, state);
        QFETCH(int, silentSeconds);
        LinkHealth health;
        health.setPhase(LinkHealth::Phase(phase));
        health.setModemPortLost(portLost);
        const uint64_t now = steadyClockMs() + 5000;
        LinkCounters counters{};
        counters.lastAircraftRecordMs = recordAgoMs < 0 ? 0 : now - uint64_t(recordAgoMs);
        health.apply(counters, now);
        QCOMPARE(health.stateName(), state);
        QCOMPARE(health.silentSeconds(), silentSeconds);
    }

    void statsLineCarriesTheCountersAndRates()
    {
        LinkHealth health;
        health.countHandshake();
        QSignalSpy updated(&health, &LinkHealth::updated);
        LinkCounters counters{};
        counters.bytesToAircraft = 1000;
        counters.bytesFromAircraft = 2000;
        health.apply(counters, 10000);
        const QJsonObject before = QJsonDocument::fromJson(health.statsJson()).object();
        QCOMPARE(before.value("ms_since_aircraft").type(), QJsonValue::Null);

        counters = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 6000, 3000, 12, 13, 14, 10000};
        health.apply(counters, 12000);
        QCOMPARE(updated.count(), 2);
        QCOMPARE(health.rateToAircraft(), 2500.0);  // 5000 bytes in 2 s
        QCOMPARE(health.rateFromAircraft(), 500.0);

        const QByteArray line = health.statsJson();
        QVERIFY(!line.contains('\n'));
        const QJsonObject stats = QJsonDocument::fromJson(line).object();
        const QList<QPair<QString, int>> expected = {
            {"records_sent", 1},       {"records_accepted", 2},      {"refused_replay", 3},
            {"refused_mac", 4},        {"refused_limit", 5},         {"refused_reflected", 6},
            {"mavlink_dropped", 34},   {"bytes_to_aircraft", 6000},  {"bytes_from_aircraft", 3000},
            {"send_epoch", 12},        {"receive_epoch", 13},        {"ms_since_aircraft", 2000},
            {"handshakes", 1}};
        for (const auto &[key, value] : expected)
            QVERIFY2(stats.value(key).isDouble() && stats.value(key).toInt() == value,
                     qPrintable(key + ": " + line));
    }
};

QTEST_GUILESS_MAIN(LinkHealthTest)
#include "LinkHealthTest.moc"

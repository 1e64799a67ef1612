// The authentication worker's loops in the test's own thread: the handshake loop on modem
// bytes (keys filled in as the card would), the five quiet seconds before success, and the
// key-loading retry once a second when no card can be reached.
#include "auth/AuthenticationManager.h"

#include "AircraftPeer.h"
#include "auth/Handshake.h"
#include "auth/LinkSecurityState.h"
#include "messaging/LinkFrameParser.h"
#include "tests/support/LogCapture.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

QByteArray wire(const LinkFrame &frame)
{
    uint8_t out[kLinkFrameMaxSize];
    return QByteArray(reinterpret_cast<const char *>(out), writeLinkFrame(frame, out));
}

QList<LinkFrame> framesOf(const QSignalSpy &spy)
{
    LinkFrameParser parser;
    QList<LinkFrame> frames;
    LinkFrame frame{};
    for (const QList<QVariant> &args : spy)
        for (char c : args.at(0).toByteArray())
            if (parser.parseByte(uint8_t(c), frame))
                frames << frame;
    return frames;
}

} // namespace

class AuthenticationManagerTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        fillGroundKeys(LinkSecurityState::instance());
        // Whatever a previous case left half-parsed goes with a run of non-marker bytes.
        LinkFrame scratch;
        for (int i = 0; i < kLinkFrameMaxSize; ++i)
            LinkFrameParser::instance().parseByte(0, scratch);
    }

    void helloFromKeyLoadingTimeIsAnsweredByTheFirstPass()
    {
        AuthenticationManager manager;
        QSignalSpy out(&manager, &AuthenticationManager::dataProcessed);
        QSignalSpy notes(&manager, &AuthenticationManager::notification);
        AircraftPeer aircraft(3);
        // Two hellos in one chunk, split from a third chunk: both answered, in order.
        const QByteArray two = wire(aircraft.hello()) + wire(AircraftPeer(4).hello());
        manager.dataArrived(two.left(150));
        manager.dataArrived(two.mid(150));
        manager.startAuthentication();
        QTRY_COMPARE(out.count(), 2);
        QCOMPARE(notes.count(), 1);
        QCOMPARE(notes.at(0).at(0).toString(), QStringLiteral("Выполняется аутентификация..."));
        QCOMPARE(framesOf(out).size(), 2);
        QCOMPARE(manager.currentAuthState(), 1);
        QCOMPARE(memcmp(LinkSecurityState::instance().peerRandom, AircraftPeer(4).random, 32), 0);  // the newer
    }

    // A hello after a long noise is answered; one buried under it is gone.
    void unreadInputKeepsOnlyTheNewestBytes()
    {
        const QByteArray hello = wire(AircraftPeer(5).hello());
        const QByteArray noise(AuthenticationManager::kMaxPendingInput, '\x55');
        for (bool helloLast : {true, false}) {
            AuthenticationManager manager;
            QSignalSpy out(&manager, &AuthenticationManager::dataProcessed);
            for (int i = 0; i < 5; ++i)
                manager.dataArrived(i == (helloLast ? 4 : 0) ? hello : noise);
            manager.startAuthentication();
            QTest::qWait(200);
            QVERIFY2(out.count() == (helloLast ? 1 : 0), helloLast ? "hello last" : "hello first");
        }
    }

    void successFollowsFiveQuietSecondsAndEndsTheLoop()
    {
        AuthenticationManager manager;
        QSignalSpy out(&manager, &AuthenticationManager::dataProcessed);
        QStringList order;
        int netId = -1;
        connect(&manager, &AuthenticationManager::notification, this, [&](const QString &text) { order << text; });
        connect(&manager, &AuthenticationManager::authenticationSucceeded, this, [&](int id) {
            order << QStringLiteral("succeeded");
            netId = id;
        });

        LinkSecurityState &ground = LinkSecurityState::instance();
        AircraftPeer aircraft(7);
        manager.dataArrived(wire(aircraft.hello()));
        manager.startAuthentication();
        QTRY_COMPARE(out.count(), 1);
        QVERIFY(aircraft.agree(framesOf(out).at(0), ground.premasterSecret));
        manager.dataArrived(wire(aircraft.finished()));
        QTRY_COMPARE(out.count(), 2);
        QElapsedTimer sinceReply;
        sinceReply.start();
        QCOMPARE(manager.currentAuthState(), 2);

        QTRY_VERIFY_WITH_TIMEOUT(order.contains(QStringLiteral("succeeded")), 9000);
        // Whole seconds: the difference must reach 6, which takes more than 5 s of real time.
        QVERIFY2(sinceReply.elapsed() > 5000, qPrintable(QString::number(sinceReply.elapsed())));
        QCOMPARE(order, (QStringList{QStringLiteral("Выполняется аутентификация..."),
                                     QStringLiteral("Аутентификация успешно завершена"),
                                     QStringLiteral("succeeded")}));
        QCOMPARE(netId, int(deriveNetworkId(aircraft.state)));

        // The loop has ended: a new hello is only buffered, never answered.
        manager.dataArrived(wire(AircraftPeer(8).hello()));
        QTest::qWait(300);
        QCOMPARE(out.count(), 2);
        QCOMPARE(order.count(QStringLiteral("succeeded")), 1);
    }

    void keyLoadingRetriesOnceASecondWithoutACard()
    {
        testsupport::LogCapture log;
        AuthenticationManager manager;
        QSignalSpy notes(&manager, &AuthenticationManager::notification);
        manager.startKeyLoading();
        QTest::qWait(2600);
        // One at once, then one a second.
        QVERIFY2(log.count(QStringLiteral("Can't create context for PCSC resource manager: 0x \"8010001D\"")) == 3,
                 qPrintable(log.lines().join('\n')));
        QCOMPARE(notes.count(), 1);
        QCOMPARE(notes.at(0).at(0).toString(), QStringLiteral("Выполняется загрузка ключей..."));
    }
};

QTEST_GUILESS_MAIN(AuthenticationManagerTest)
#include "AuthenticationManagerTest.moc"

// The "Состояние канала" tab on the real manager: it follows the link's health, and the window
// keeps drawing while AT commands go out to a modem.
#include "app/EncryptorSettings.h"
#include "manager/EncryptorManager.h"
#include "tests/support/PtyPair.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

#include <functional>

class TestLinkStatusTab : public QObject
{
    Q_OBJECT

    EncryptorManager m_manager{nullptr};
    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;

    QQuickItem *item(const QString &id)
    {
        std::function<QQuickItem *(QQuickItem *)> find = [&](QQuickItem *at) -> QQuickItem * {
            if (QQmlContext *context = qmlContext(at); context && context->nameForObject(at) == id)
                return at;
            for (QQuickItem *child : at->childItems())
                if (QQuickItem *found = find(child))
                    return found;
            return nullptr;
        };
        return find(m_window->contentItem());
    }
    QString text(const QString &id) { return item(id)->property("text").toString(); }

private slots:
    void initTestCase()
    {
        qmlRegisterType<EncryptorSettings>("EncryptorSettings", 1, 0, "EncryptorSettings");
        m_engine.rootContext()->setContextProperty("encryptorManager", &m_manager);
        m_engine.load(QUrl("qrc:/qml/MainWindow.qml"));
        QCOMPARE(m_engine.rootObjects().size(), 1);
        m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().first());
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        item("tabBar")->setProperty("currentIndex", 2);
    }

    void tabFollowsTheHealth()
    {
        LinkHealth &health = *m_manager.linkHealth();
        QCOMPARE(text("linkState"), QStringLiteral("Шифратор остановлен"));
        const QColor normal = item("refusedRecords")->property("color").value<QColor>();

        health.setPhase(LinkHealth::Relay);
        const uint64_t now = steadyClockMs() + 4500;
        LinkCounters counters{};
        counters.refusedReplay = 2;
        counters.recordsSent = 17;
        counters.lastAircraftRecordMs = now - 4200;
        health.apply(counters, now);
        QCOMPARE(text("linkState"), QStringLiteral("Нет данных от БПЛА 4 с"));
        QCOMPARE(text("lastFromAircraft"), QStringLiteral("4.2 с назад"));
        QVERIFY(text("rateToAircraft").endsWith(QStringLiteral("записей: 17")));
        QCOMPARE(text("refusedRecords"),
                 QStringLiteral("неверный код: 0, повтор: 2, сверх лимита эпохи: 0, отражённых: 0"));
        // A replay is not yet a warning; one record with a bad MAC is.
        QCOMPARE(item("refusedRecords")->property("color").value<QColor>(), normal);
        counters.refusedMac = 1;
        counters.lastAircraftRecordMs = now;
        health.apply(counters, now);
        QCOMPARE(text("linkState"), QStringLiteral("Обмен данными"));
        QVERIFY(item("refusedRecords")->property("color").value<QColor>() != normal);
        health.setPhase(LinkHealth::Idle);
    }

    void windowDrawsWhileTheModemRoutineRuns()
    {
        testsupport::PtyPair modem;
        int frames = 0;
        connect(m_window, &QQuickWindow::frameSwapped, this, [&frames] { ++frames; });
        QTimer repaint;
        connect(&repaint, &QTimer::timeout, m_window, &QQuickWindow::update);
        repaint.start(50);

        m_manager.setNetworkId(modem.slavePath(), 7);
        QVERIFY(m_manager.isModemRoutineRunning());
        QVERIFY(!item("loadMasterKeyButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager.isModemRoutineRunning(), 8000);
        // About three seconds at one update per 50 ms; a blocked thread draws none.
        QVERIFY2(frames >= 10, qPrintable(QString("%1 frames").arg(frames)));
        QVERIFY(item("loadMasterKeyButton")->isEnabled());
        QCOMPARE(modem.readUntilQuiet(100, 1000), QByteArray("+++ATS3=7\r\n\0AT&W\r\n\0ATZ\r\n", 25));
    }
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication app(argc, argv);
    TestLinkStatusTab test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_link_status_tab.moc"

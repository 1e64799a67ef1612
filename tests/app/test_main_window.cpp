// The window as the program loads it (the compiled-in QML and style file), with a recording
// stand-in for the manager: texts, state, and what each control asks of the manager.
#include "app/EncryptorSettings.h"
#include "tests/app/RecordingManager.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

enum Tab { EncryptorTab = 0, ModemTab = 1 };
const QString kStart = QStringLiteral("Запустить шифратор");
const QString kStop = QStringLiteral("Остановить шифратор");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<RecordingManager> m_manager;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    int m_warnings = 0;

    // Finds an object by its QML id below `scope`, across both the object and the visual tree
    // (loaded components and the window's header and footer live in different ones).
    QObject *object(const QString &id, QObject *scope = nullptr)
    {
        QSet<QObject *> seen;
        std::function<QObject *(QObject *)> find = [&](QObject *o) -> QObject * {
            if (!o || seen.contains(o))
                return nullptr;
            seen.insert(o);
            if (QQmlContext *context = qmlContext(o); context && context->nameForObject(o) == id)
                return o;
            QList<QObject *> next = o->children();
            if (auto *item = qobject_cast<QQuickItem *>(o))
                for (QQuickItem *child : item->childItems())
                    next.append(child);
            if (auto *window = qobject_cast<QQuickWindow *>(o))
                next.append(window->contentItem());
            for (QObject *child : next)
                if (QObject *found = find(child))
                    return found;
            return nullptr;
        };
        return find(scope ? scope : m_window);
    }
    QQuickItem *item(const QString &id, QObject *scope = nullptr)
    {
        return qobject_cast<QQuickItem *>(object(id, scope));
    }
    QString text(const QString &id, QObject *scope = nullptr, const char *property = "text")
    {
        return object(id, scope)->property(property).toString();
    }
    QQuickItem *view(Tab tab)
    {
        QQuickItem *page = nullptr;
        QMetaObject::invokeMethod(object("swipeView"), "itemAt", Q_RETURN_ARG(QQuickItem *, page),
                                  Q_ARG(int, tab));
        return page && page->childItems().size() == 1 ? page->childItems().first() : nullptr;
    }
    // The views reach their view-model through the `viewModel` property.
    EncryptorSettings *viewModel(Tab tab)
    {
        return qobject_cast<EncryptorSettings *>(view(tab)->property("viewModel").value<QObject *>());
    }
    QQuickItem *button(Tab tab, const QString &text)
    {
        for (QQuickItem *child : view(tab)->childItems())
            if (child->inherits("QQuickButton") && child->property("text").toString() == text)
                return child;
        return nullptr;
    }
    bool showTab(Tab tab)
    {
        object("tabBar")->setProperty("currentIndex", int(tab));
        // Wait for the page to slide into place before clicking anything on it.
        QQuickItem *target = view(tab);
        return QTest::qWaitFor([&] { return qFuzzyCompare(target->mapToScene({}).x(), 20.0); });
    }
    bool click(QQuickItem *target)
    {
        if (!target || !target->isVisible())
            return false;
        const QPointF centre = target->mapToScene({target->width() / 2, target->height() / 2});
        if (!QRectF(QPointF(), m_window->size()).contains(centre))
            return false;
        QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
        return true;
    }

private slots:
    void initTestCase()
    {
        qmlRegisterType<EncryptorSettings>("EncryptorSettings", 1, 0, "EncryptorSettings");
    }
    void init()
    {
        m_manager = std::make_unique<RecordingManager>();
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_engine->rootContext()->setContextProperty("encryptorManager", m_manager.get());
        m_warnings = 0;
        connect(m_engine.get(), &QQmlEngine::warnings, this,
                [this](const QList<QQmlError> &list) { m_warnings += list.size(); });
        m_engine->load(QUrl("qrc:/qml/MainWindow.qml"));
        QCOMPARE(m_engine->rootObjects().size(), 1);
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
        QVERIFY(m_window);
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        // A binding that reads an undefined name only warns; the window must load cleanly.
        QCOMPARE(m_warnings, 0);
    }
    void cleanup()
    {
        m_engine.reset();
        m_manager.reset();
    }

    void windowAndTabs()
    {
        // The title and the style file's colours: the screenshot test finds and checks them.
        QObject *tabBar = object("tabBar");
        QObject *swipeView = object("swipeView");
        QStringList texts;
        for (QQuickItem *tab : tabBar->findChildren<QQuickItem *>())
            if (tab->inherits("QQuickTabButton"))
                texts.append(tab->property("text").toString());
        QCOMPARE(texts, (QStringList{"Параметры шифратора", "Параметры модема", "Состояние канала"}));
        QVERIFY(showTab(ModemTab)); // the page slides in only if the swipe view follows the tab bar
        swipeView->setProperty("currentIndex", 0); // the binding goes both ways
        QCOMPARE(tabBar->property("currentIndex").toInt(), 0);
    }

    void labelsFollowTheManager()
    {
        QCOMPARE(text("statusBar"), QString());
        for (const QString message : {"Загрузка ключей со смарт-карты", "", "again after an empty one", ""}) {
            emit m_manager->notification(message);
            QCOMPARE(text("statusBar"), message);
        }
        QCOMPARE(text("netIdLabel"), QStringLiteral("unknown"));
        QCOMPARE(item("netIdLabel")->parentItem()->childItems().first()->property("text").toString(),
                 QStringLiteral("Net ID:"));
        for (int netId : {0, 255, 7, 0}) {
            emit m_manager->netIdChanged(netId);
            QCOMPARE(text("netIdLabel"), QString::number(netId));
        }
    }

    void initialState()
    {
        EncryptorSettings *settings = viewModel(EncryptorTab);
        const QStringList ports = settings->outputPortList();
        // The encryptor tab's combo box writes its first entry at once; the modem tab's writes nothing.
        QCOMPARE(settings->outputPort(), ports.value(0));
        QCOMPARE(text("deviceSerialPort", view(EncryptorTab), "currentText"), ports.value(0));
        QCOMPARE(viewModel(ModemTab)->outputPort(), QString());

#ifdef Q_OS_LINUX
        // The port the utility offers is shown as soon as the tab is built.
        QCOMPARE(text("softwareSerialPort"), RecordingManager::offeredPort());
        QCOMPARE(settings->externalPort(), RecordingManager::offeredPort());
#endif
        settings->setExternalPort("/tmp/gcs-link");
        QCOMPARE(text("softwareSerialPort"), QStringLiteral("/tmp/gcs-link"));
        QVERIFY(m_manager->calls.isEmpty());
    }

    void buttonsFollowStateAndPorts_data()
    {
        QTest::addColumn<QString>("outputPort");
        QTest::addColumn<QString>("internalPort");
        QTest::addColumn<QString>("externalPort");
        QTest::addColumn<bool>("encryptionEnabled");
        QTest::addColumn<bool>("modemRoutine");
        QTest::addColumn<bool>("startEnabled");
        QTest::addColumn<bool>("stopEnabled");
        QTest::addColumn<bool>("applyEnabled");
        const QString modem = "/dev/ttyUSB0", gcs = "/tmp/gcs-link";
        QTest::newRow("modem port only") << modem << "" << "" << false << false << false << false << true;
        QTest::newRow("ground-control only") << "" << "" << gcs << false << false << false << false << true;
        QTest::newRow("both ports") << modem << "" << gcs << false << false << true << false << true;
        // Only the ground-control side of this platform counts.
        const bool linuxBuild = QSysInfo::kernelType() == QLatin1String("linux");
        QTest::newRow("other platform's port")
            << modem << "/dev/ttyS9" << "" << false << false << !linuxBuild << false << true;
        QTest::newRow("relaying") << modem << "" << gcs << true << false << false << true << false;
        QTest::newRow("relaying, no ports") << "" << "" << "" << true << false << false << true << false;
        // While AT commands go out to the modem, nothing may start, stop or apply.
        QTest::newRow("modem routine") << modem << "" << gcs << false << true << false << false << false;
        QTest::newRow("routine, relaying") << modem << "" << gcs << true << true << false << false << false;
    }
    void buttonsFollowStateAndPorts()
    {
        QFETCH(QString, outputPort);
        QFETCH(QString, internalPort);
        QFETCH(QString, externalPort);
        QFETCH(bool, encryptionEnabled);
        QFETCH(bool, modemRoutine);
        QFETCH(bool, startEnabled);
        QFETCH(bool, stopEnabled);
        QFETCH(bool, applyEnabled);
        // Passing through the opposite state first proves the bindings re-evaluate.
        m_manager->setEncryptionEnabled(!encryptionEnabled);
        m_manager->setModemRoutineRunning(!modemRoutine);
        EncryptorSettings *settings = viewModel(EncryptorTab);
        settings->setOutputPort(outputPort);
        settings->setInternalPort(internalPort);
        settings->setExternalPort(externalPort);
        m_manager->setEncryptionEnabled(encryptionEnabled);
        m_manager->setModemRoutineRunning(modemRoutine);
        QCOMPARE(button(EncryptorTab, kStart)->isEnabled(), startEnabled);
        QCOMPARE(button(EncryptorTab, kStop)->isEnabled(), stopEnabled);
        QCOMPARE(item("loadMasterKeyButton")->isEnabled(), applyEnabled);
    }

    // The "Состояние канала" tab follows the link's health.
    void linkStateTabFollowsTheHealth()
    {
        LinkHealth &health = *m_manager->linkHealth();
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
    }

    void startAndStopCallTheManager()
    {
        EncryptorSettings *settings = viewModel(EncryptorTab);
        QQuickItem *start = button(EncryptorTab, kStart);
        QQuickItem *stop = button(EncryptorTab, kStop);
        settings->setOutputPort("/dev/ttyUSB3");
        QStringList expected;
#ifdef Q_OS_LINUX
        // Nothing but a modem port is chosen: the ground-control side is the offered port.
        QVERIFY(click(start));
        expected << "initialize(, " + RecordingManager::offeredPort() + ", /dev/ttyUSB3)";
#endif
        settings->setInternalPort("/dev/ttyS9");
        settings->setExternalPort("/tmp/gcs-link");
        // Pressing start again while authenticating restarts it.
        QVERIFY(click(start));
        QVERIFY(click(start));
        m_manager->setEncryptionEnabled(true);
        QVERIFY(click(stop));
        expected << "initialize(/dev/ttyS9, /tmp/gcs-link, /dev/ttyUSB3)"
                 << "initialize(/dev/ttyS9, /tmp/gcs-link, /dev/ttyUSB3)" << "deinitialize()";
        QCOMPARE(m_manager->calls, expected);
    }

    void applyCallsSetNetworkIdWhileDisabled()
    {
        const int netId = 200;
        QVERIFY(showTab(ModemTab));
        QQuickItem *apply = item("loadMasterKeyButton");
        QCOMPARE(apply->property("text").toString(), QStringLiteral("Применить настройки"));
        QQuickItem *spinBox = item("networkIdentifier");
        QCOMPARE(spinBox->property("to").toInt(), 255); // one byte on the modem
        spinBox->setProperty("value", netId);
        const QString modemPort = text("deviceSerialPort", view(ModemTab), "currentText");
        QCOMPARE(modemPort, viewModel(ModemTab)->outputPortList().value(0));

        bool enabledDuringCall = true;
        m_manager->duringCall = [&] { enabledDuringCall = apply->isEnabled(); };
        QVERIFY(click(apply));
        QCOMPARE(m_manager->calls, QStringList{QString("setNetworkId(%1, %2)").arg(modemPort).arg(netId)});
        QCOMPARE(enabledDuringCall, false);
        QCOMPARE(apply->isEnabled(), true);
        m_manager->setEncryptionEnabled(true); // afterwards it follows the manager again
        QCOMPARE(apply->isEnabled(), false);
    }

    void refreshButtonsReenumerate()
    {
        for (Tab tab : {ModemTab, EncryptorTab}) {
            QVERIFY(showTab(tab));
            QSignalSpy list(viewModel(tab), &EncryptorSettings::outputPortListChanged);
            QVERIFY(click(button(tab, QStringLiteral("Обновить список портов"))));
            QCOMPARE(list.count(), 1);
        }
        QVERIFY(m_manager->calls.isEmpty());
    }

    void windowsBlockWritesInternalPort()
    {
        // This machine shows the Linux block; load the other one to check its combo box.
        QObject *winInternalPort = object("winInternalPort");
        QQuickItem *loader = item("softwareSerialPort")->parentItem()->parentItem();
        QVERIFY(winInternalPort && loader->inherits("QQuickLoader"));
        EncryptorSettings *settings = viewModel(EncryptorTab);
        settings->setInternalPort("stale");
        loader->setProperty("sourceComponent", QVariant::fromValue(winInternalPort));

        QQuickItem *internalSerialPort = item("internalSerialPort", loader);
        QVERIFY(internalSerialPort);
        QCOMPARE(internalSerialPort->property("count").toInt(), settings->outputPortList().size());
        QCOMPARE(settings->internalPort(), settings->outputPortList().value(0));
        QCOMPARE(internalSerialPort->property("currentText").toString(), settings->internalPort());
    }
};

int main(int argc, char *argv[])
{
    // Headless by default: offscreen needs the software scene graph, it has no GL context.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication app(argc, argv);
    TestMainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_main_window.moc"

// The window as the program loads it (the compiled-in QML and style file), with a recording
// stand-in for the manager: texts, layout, and what each control asks of the manager.
#include "app/EncryptorSettings.h"
#include "tests/app/RecordingManager.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

enum Tab { EncryptorTab = 0, ModemTab = 1 };

// Finds an object by its QML id below `scope`, across both the object and the visual tree
// (popups, loaded components and the window's header and footer live in different ones).
QObject *findById(QObject *scope, const QString &id, QSet<QObject *> &seen)
{
    if (!scope || seen.contains(scope))
        return nullptr;
    seen.insert(scope);
    if (QQmlContext *context = qmlContext(scope); context && context->nameForObject(scope) == id)
        return scope;
    QList<QObject *> next = scope->children();
    if (auto *item = qobject_cast<QQuickItem *>(scope)) {
        for (QQuickItem *child : item->childItems())
            next.append(child);
    }
    if (auto *window = qobject_cast<QQuickWindow *>(scope))
        next.append(window->contentItem());
    for (QObject *child : next) {
        if (QObject *found = findById(child, id, seen))
            return found;
    }
    return nullptr;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowTitleSizeAndStyle();
    void tabsSwitchThePages();
    void layoutFollowsTheSizes();
    void statusLineFollowsNotification();
    void netIdLabelFollowsNetIdChanged();
    void initialState();
    void buttonsFollowStateAndPorts_data();
    void buttonsFollowStateAndPorts();
    void startAndStopCallTheManager();
    void startUsesTheOfferedPortOnLinux();
    void spinBoxKeepsToOneByte();
    void applyCallsSetNetworkIdWhileDisabled_data();
    void applyCallsSetNetworkIdWhileDisabled();
    void refreshButtonsReenumerate_data();
    void refreshButtonsReenumerate();
    void windowsBlockWritesInternalPort();

private:
    QObject *object(const QString &id, QObject *scope = nullptr);
    QQuickItem *item(const QString &id, QObject *scope = nullptr);
    QQuickItem *view(Tab tab);
    EncryptorSettings *viewModel(Tab tab);
    QQuickItem *button(Tab tab, const QString &text);
    bool showTab(Tab tab);
    bool click(QQuickItem *target);
    void typeInto(QQuickItem *target, const QString &text);

    std::unique_ptr<RecordingManager> m_manager;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
};

void TestMainWindow::initTestCase()
{
    qmlRegisterType<EncryptorSettings>("EncryptorSettings", 1, 0, "EncryptorSettings");
}

void TestMainWindow::init()
{
    m_manager = std::make_unique<RecordingManager>();
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_engine->rootContext()->setContextProperty(QStringLiteral("encryptorManager"),
                                                m_manager.get());
    int warnings = 0;
    connect(m_engine.get(), &QQmlEngine::warnings, this,
            [&warnings](const QList<QQmlError> &list) { warnings += list.size(); });
    m_engine->load(QUrl(QStringLiteral("qrc:/qml/MainWindow.qml")));
    QCOMPARE(m_engine->rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
    QVERIFY(m_window);
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    // A binding that reads an undefined name only warns; the window must load cleanly.
    QCOMPARE(warnings, 0);
}

void TestMainWindow::cleanup()
{
    m_engine.reset();
    m_window = nullptr;
    m_manager.reset();
}

QObject *TestMainWindow::object(const QString &id, QObject *scope)
{
    QSet<QObject *> seen;
    return findById(scope ? scope : m_window, id, seen);
}

QQuickItem *TestMainWindow::item(const QString &id, QObject *scope)
{
    return qobject_cast<QQuickItem *>(object(id, scope));
}

QQuickItem *TestMainWindow::view(Tab tab)
{
    QQuickItem *page = nullptr;
    QMetaObject::invokeMethod(object(QStringLiteral("swipeView")), "itemAt",
                              Q_RETURN_ARG(QQuickItem *, page), Q_ARG(int, tab));
    return page && page->childItems().size() == 1 ? page->childItems().first() : nullptr;
}

EncryptorSettings *TestMainWindow::viewModel(Tab tab)
{
    // The views reach their view-model through the `viewModel` property.
    return qobject_cast<EncryptorSettings *>(view(tab)->property("viewModel").value<QObject *>());
}

QQuickItem *TestMainWindow::button(Tab tab, const QString &text)
{
    for (QQuickItem *child : view(tab)->childItems()) {
        if (child->inherits("QQuickButton") && child->property("text").toString() == text)
            return child;
    }
    return nullptr;
}

bool TestMainWindow::showTab(Tab tab)
{
    object(QStringLiteral("tabBar"))->setProperty("currentIndex", int(tab));
    // Wait for the page to slide into place before clicking anything on it.
    QQuickItem *target = view(tab);
    return QTest::qWaitFor([&] { return qFuzzyCompare(target->mapToScene({}).x(), 20.0); });
}

bool TestMainWindow::click(QQuickItem *target)
{
    if (!target || !target->isVisible())
        return false;
    const QPointF centre = target->mapToScene({target->width() / 2, target->height() / 2});
    if (!QRectF(QPointF(), m_window->size()).contains(centre))
        return false;
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    return true;
}

void TestMainWindow::typeInto(QQuickItem *target, const QString &text)
{
    target->forceActiveFocus();
    QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
    for (const QChar c : text)
        QTest::keyClick(m_window, c.toLatin1());
    QTest::keyClick(m_window, Qt::Key_Return);
}

void TestMainWindow::windowTitleSizeAndStyle()
{
    QCOMPARE(m_window->title(), QStringLiteral("Утилита настройки шифрования БПЛА"));
    QCOMPARE(m_window->size(), QSize(640, 550));
    QVERIFY(m_window->isVisible());
    // Material light paints the window #FAFAFA; without the compiled-in style file it stays white.
    QCOMPARE(m_window->color(), QColor(QStringLiteral("#fafafa")));
}

void TestMainWindow::tabsSwitchThePages()
{
    QObject *tabBar = object(QStringLiteral("tabBar"));
    QObject *swipeView = object(QStringLiteral("swipeView"));
    QVERIFY(tabBar && swipeView);
    QStringList texts;
    for (QQuickItem *tab : qobject_cast<QQuickItem *>(tabBar)->findChildren<QQuickItem *>()) {
        if (tab->inherits("QQuickTabButton"))
            texts.append(tab->property("text").toString());
    }
    QCOMPARE(texts, (QStringList{QStringLiteral("Параметры шифратора"),
                                 QStringLiteral("Параметры модема")}));
    QCOMPARE(swipeView->property("interactive").toBool(), false);
    QCOMPARE(swipeView->property("clip").toBool(), true);
    QCOMPARE(swipeView->property("count").toInt(), 2);

    QCOMPARE(swipeView->property("currentIndex").toInt(), 0);
    QVERIFY(showTab(ModemTab));
    QCOMPARE(swipeView->property("currentIndex").toInt(), 1);
    // The binding goes both ways.
    swipeView->setProperty("currentIndex", 0);
    QCOMPARE(tabBar->property("currentIndex").toInt(), 0);
}

void TestMainWindow::layoutFollowsTheSizes()
{
    for (Tab tab : {EncryptorTab, ModemTab}) {
        QQuickItem *column = view(tab);
        QQuickItem *page = column->parentItem();
        QCOMPARE(column->position(), QPointF(20, 20));
        QCOMPARE(column->width(), page->width() - 40);
        QCOMPARE(column->height(), page->height() - 40);
        QCOMPARE(page->width(), qreal(640));
        int spacers = 0;
        for (QQuickItem *child : column->childItems()) {
            QCOMPARE(child->width(), column->width());
            if (QByteArray(child->metaObject()->className()) == "QQuickItem") {
                QCOMPARE(child->height(), qreal(10));
                ++spacers;
            }
        }
        QCOMPARE(spacers, 4);
    }

    QQuickItem *connectionStatus = item(QStringLiteral("connectionStatus"));
    QQuickItem *statusBar = item(QStringLiteral("statusBar"));
    QQuickItem *statusFrame = statusBar->parentItem()->parentItem();
    QCOMPARE(connectionStatus->width(), qreal(250));
    QCOMPARE(connectionStatus->mapToScene({connectionStatus->width(), 0}).x(), qreal(640));
    QCOMPARE(statusFrame->mapToScene({}).x(), qreal(0));
    QCOMPARE(statusFrame->width(), qreal(640 - 250));
    QCOMPARE(statusFrame->property("padding").toReal(), qreal(5));
    QCOMPARE(connectionStatus->property("padding").toReal(), qreal(5));
    QCOMPARE(statusBar->width(), statusFrame->width() - 10);
    // The footer sits at the bottom and is as tall as the frames.
    QQuickItem *footer = connectionStatus->parentItem();
    QVERIFY(footer->height() >= connectionStatus->height());
    QCOMPARE(footer->mapToScene({0, footer->height()}).y(), qreal(550));
}

void TestMainWindow::statusLineFollowsNotification()
{
    QQuickItem *statusBar = item(QStringLiteral("statusBar"));
    QVERIFY(statusBar);
    QCOMPARE(statusBar->property("text").toString(), QString());
    const QString steps[] = {
        QStringLiteral("Загрузка ключей со смарт-карты"),
        QStringLiteral("Аутентификация"),
        QString(),
        QStringLiteral("again after an empty one"),
        QString(),
    };
    for (const QString &message : steps) {
        emit m_manager->notification(message);
        QCOMPARE(statusBar->property("text").toString(), message);
    }
}

void TestMainWindow::netIdLabelFollowsNetIdChanged()
{
    QQuickItem *netIdLabel = item(QStringLiteral("netIdLabel"));
    QVERIFY(netIdLabel);
    QCOMPARE(netIdLabel->property("text").toString(), QStringLiteral("unknown"));
    QCOMPARE(netIdLabel->parentItem()->childItems().first()->property("text").toString(),
             QStringLiteral("Net ID:"));
    for (int netId : {0, 255, 7, 0}) {
        emit m_manager->netIdChanged(netId);
        QCOMPARE(netIdLabel->property("text").toString(), QString::number(netId));
    }
    // Stopping clears the status line but keeps the last identifier.
    emit m_manager->notification(QString());
    m_manager->setEncryptionEnabled(false);
    QCOMPARE(netIdLabel->property("text").toString(), QStringLiteral("0"));
}

void TestMainWindow::initialState()
{
    const QStringList ports = viewModel(EncryptorTab)->outputPortList();
    // The encryptor tab's combo box writes its first entry at once; the modem tab's writes nothing.
    QCOMPARE(viewModel(EncryptorTab)->outputPort(), ports.value(0));
    QCOMPARE(object(QStringLiteral("deviceSerialPort"), view(EncryptorTab))
                 ->property("currentText").toString(),
             ports.value(0));
    QCOMPARE(viewModel(ModemTab)->outputPort(), QString());
    QVERIFY(viewModel(EncryptorTab) != viewModel(ModemTab));

    QQuickItem *softwareSerialPort = item(QStringLiteral("softwareSerialPort"));
    QVERIFY(softwareSerialPort);
    QCOMPARE(softwareSerialPort->property("readOnly").toBool(), true);
    QCOMPARE(softwareSerialPort->property("selectByMouse").toBool(), true);
#ifdef Q_OS_LINUX
    // The port the utility offers is shown as soon as the tab is built.
    QCOMPARE(softwareSerialPort->property("text").toString(), RecordingManager::offeredPort());
    QCOMPARE(viewModel(EncryptorTab)->externalPort(), RecordingManager::offeredPort());
#endif
    viewModel(EncryptorTab)->setExternalPort(QStringLiteral("/tmp/gcs-link"));
    QCOMPARE(softwareSerialPort->property("text").toString(), QStringLiteral("/tmp/gcs-link"));

    QCOMPARE(button(EncryptorTab, QStringLiteral("Запустить шифратор"))->isEnabled(),
             !ports.isEmpty());
    QCOMPARE(button(EncryptorTab, QStringLiteral("Остановить шифратор"))->isEnabled(), false);
    QCOMPARE(item(QStringLiteral("loadMasterKeyButton"))->isEnabled(), true);
    QVERIFY(m_manager->calls.isEmpty());
}

void TestMainWindow::buttonsFollowStateAndPorts_data()
{
    QTest::addColumn<QString>("outputPort");
    QTest::addColumn<QString>("internalPort");
    QTest::addColumn<QString>("externalPort");
    QTest::addColumn<bool>("encryptionEnabled");
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("applyEnabled");

    const QString modem = QStringLiteral("/dev/ttyUSB0");
    const QString gcs = QStringLiteral("/tmp/gcs-link");
    const QString virtualCom = QStringLiteral("/dev/ttyS9");
    QTest::newRow("no ports") << "" << "" << "" << false << false << false << true;
    QTest::newRow("modem port only") << modem << "" << "" << false << false << false << true;
    QTest::newRow("ground-control port only") << "" << "" << gcs << false << false << false << true;
    QTest::newRow("both ports") << modem << "" << gcs << false << true << false << true;
    // Only the ground-control side of this platform counts.
#ifdef Q_OS_LINUX
    const bool linuxBuild = true;
#else
    const bool linuxBuild = false;
#endif
    QTest::newRow("other platform's port") << modem << virtualCom << "" << false << !linuxBuild
                                           << false << true;
    QTest::newRow("relaying") << modem << "" << gcs << true << false << true << false;
    QTest::newRow("relaying, ports cleared") << "" << "" << "" << true << false << true << false;
}

void TestMainWindow::buttonsFollowStateAndPorts()
{
    QFETCH(QString, outputPort);
    QFETCH(QString, internalPort);
    QFETCH(QString, externalPort);
    QFETCH(bool, encryptionEnabled);
    QFETCH(bool, startEnabled);
    QFETCH(bool, stopEnabled);
    QFETCH(bool, applyEnabled);

    // Passing through the opposite state first proves the bindings re-evaluate.
    m_manager->setEncryptionEnabled(!encryptionEnabled);
    EncryptorSettings *settings = viewModel(EncryptorTab);
    settings->setOutputPort(outputPort);
    settings->setInternalPort(internalPort);
    settings->setExternalPort(externalPort);
    m_manager->setEncryptionEnabled(encryptionEnabled);

    QCOMPARE(button(EncryptorTab, QStringLiteral("Запустить шифратор"))->isEnabled(), startEnabled);
    QCOMPARE(button(EncryptorTab, QStringLiteral("Остановить шифратор"))->isEnabled(), stopEnabled);
    QCOMPARE(item(QStringLiteral("loadMasterKeyButton"))->isEnabled(), applyEnabled);
}

void TestMainWindow::startAndStopCallTheManager()
{
    EncryptorSettings *settings = viewModel(EncryptorTab);
    settings->setInternalPort(QStringLiteral("/dev/ttyS9"));
    settings->setExternalPort(QStringLiteral("/tmp/gcs-link"));
    settings->setOutputPort(QStringLiteral("/dev/ttyUSB3"));
    QQuickItem *start = button(EncryptorTab, QStringLiteral("Запустить шифратор"));
    QQuickItem *stop = button(EncryptorTab, QStringLiteral("Остановить шифратор"));

    QVERIFY(click(stop));
    QVERIFY(click(start));
    QCOMPARE(m_manager->calls.size(), 1);
    QCOMPARE(m_manager->calls[0].method, QStringLiteral("initialize"));
    QCOMPARE(m_manager->calls[0].arguments,
             (QVariantList{"/dev/ttyS9", "/tmp/gcs-link", "/dev/ttyUSB3"}));

    // Pressing start again while authenticating restarts it.
    QVERIFY(click(start));
    QCOMPARE(m_manager->calls.size(), 2);

    m_manager->setEncryptionEnabled(true);
    QVERIFY(click(start));
    QVERIFY(click(stop));
    QCOMPARE(m_manager->calls.size(), 3);
    QCOMPARE(m_manager->calls[2].method, QStringLiteral("deinitialize"));
    QCOMPARE(m_manager->calls[2].arguments, QVariantList());
}

void TestMainWindow::startUsesTheOfferedPortOnLinux()
{
#ifndef Q_OS_LINUX
    QSKIP("the utility offers a port of its own only on Linux");
#else
    // Nothing but a modem port is chosen: the ground-control side is the offered port.
    viewModel(EncryptorTab)->setOutputPort(QStringLiteral("/dev/ttyUSB3"));
    QVERIFY(click(button(EncryptorTab, QStringLiteral("Запустить шифратор"))));
    QCOMPARE(m_manager->calls.size(), 1);
    QCOMPARE(m_manager->calls[0].arguments,
             (QVariantList{"", RecordingManager::offeredPort(), "/dev/ttyUSB3"}));
#endif
}

void TestMainWindow::spinBoxKeepsToOneByte()
{
    QVERIFY(showTab(ModemTab));
    QQuickItem *spinBox = item(QStringLiteral("networkIdentifier"));
    QVERIFY(spinBox);
    QCOMPARE(spinBox->property("from").toInt(), 0);
    QCOMPARE(spinBox->property("to").toInt(), 255);
    QCOMPARE(spinBox->property("value").toInt(), 1);
    QCOMPARE(spinBox->property("editable").toBool(), true);

    auto *editor = spinBox->property("contentItem").value<QQuickItem *>();
    QVERIFY(editor);
    const struct {
        const char *typed;
        int value;
    } steps[] = {// Out of range is clamped; the minus sign is refused as it is typed.
                 {"42", 42}, {"300", 255}, {"255", 255}, {"256", 255}, {"0", 0}, {"-1", 1}};
    for (const auto &step : steps) {
        typeInto(editor, QString::fromLatin1(step.typed));
        QVERIFY2(spinBox->property("value").toInt() == step.value, step.typed);
    }
    QMetaObject::invokeMethod(spinBox, "decrease");
    QCOMPARE(spinBox->property("value").toInt(), 0);
    spinBox->setProperty("value", 255);
    QMetaObject::invokeMethod(spinBox, "increase");
    QCOMPARE(spinBox->property("value").toInt(), 255);
}

void TestMainWindow::applyCallsSetNetworkIdWhileDisabled_data()
{
    QTest::addColumn<int>("netId");
    QTest::newRow("0") << 0;
    QTest::newRow("200") << 200;
    QTest::newRow("255") << 255;
}

void TestMainWindow::applyCallsSetNetworkIdWhileDisabled()
{
    QFETCH(int, netId);
    QVERIFY(showTab(ModemTab));
    QQuickItem *apply = item(QStringLiteral("loadMasterKeyButton"));
    QVERIFY(apply);
    QCOMPARE(apply->property("text").toString(), QStringLiteral("Применить настройки"));
    item(QStringLiteral("networkIdentifier"))->setProperty("value", netId);
    const QString modemPort = object(QStringLiteral("deviceSerialPort"), view(ModemTab))
                                  ->property("currentText")
                                  .toString();
    QCOMPARE(modemPort, viewModel(ModemTab)->outputPortList().value(0));

    bool enabledDuringCall = true;
    m_manager->duringCall = [&](const RecordingManager::Call &) {
        enabledDuringCall = apply->isEnabled();
    };
    QVERIFY(click(apply));
    QCOMPARE(m_manager->calls.size(), 1);
    QCOMPARE(m_manager->calls[0].method, QStringLiteral("setNetworkId"));
    QCOMPARE(m_manager->calls[0].arguments, (QVariantList{modemPort, netId}));
    QCOMPARE(enabledDuringCall, false);
    QCOMPARE(apply->isEnabled(), true);

    // Afterwards it follows the manager again.
    m_manager->setEncryptionEnabled(true);
    QCOMPARE(apply->isEnabled(), false);
    QVERIFY(click(apply));
    QCOMPARE(m_manager->calls.size(), 1);
    m_manager->setEncryptionEnabled(false);
    QCOMPARE(apply->isEnabled(), true);
}

void TestMainWindow::refreshButtonsReenumerate_data()
{
    QTest::addColumn<int>("tab");
    QTest::newRow("encryptor tab") << int(EncryptorTab);
    QTest::newRow("modem tab") << int(ModemTab);
}

void TestMainWindow::refreshButtonsReenumerate()
{
    QFETCH(int, tab);
    QVERIFY(showTab(Tab(tab)));
    QQuickItem *refresh = button(Tab(tab), QStringLiteral("Обновить список портов"));
    EncryptorSettings *settings = viewModel(Tab(tab));
    EncryptorSettings *other = viewModel(Tab(1 - tab));
    QSignalSpy list(settings, &EncryptorSettings::outputPortListChanged);
    QSignalSpy internal(settings, &EncryptorSettings::internalPortChanged);
    QSignalSpy external(settings, &EncryptorSettings::externalPortChanged);
    QSignalSpy otherList(other, &EncryptorSettings::outputPortListChanged);
    QVERIFY(click(refresh));
    QCOMPARE(list.count(), 1);
    QCOMPARE(internal.count(), 1);
    QCOMPARE(external.count(), 1);
    QCOMPARE(otherList.count(), 0);
    QCOMPARE(refresh->isEnabled(), true);
    QCOMPARE(m_manager->calls.size(), 0);
}

void TestMainWindow::windowsBlockWritesInternalPort()
{
    // This machine shows the Linux block; load the other one to check its combo box.
    QObject *winInternalPort = object(QStringLiteral("winInternalPort"));
    QQuickItem *softwareSerialPort = item(QStringLiteral("softwareSerialPort"));
    QVERIFY(winInternalPort && softwareSerialPort);
    auto *loader = softwareSerialPort->parentItem()->parentItem();
    QVERIFY(loader->inherits("QQuickLoader"));
    EncryptorSettings *settings = viewModel(EncryptorTab);
    settings->setInternalPort(QStringLiteral("stale"));
    loader->setProperty("sourceComponent", QVariant::fromValue(winInternalPort));

    QQuickItem *internalSerialPort = item(QStringLiteral("internalSerialPort"), loader);
    QVERIFY(internalSerialPort);
    QCOMPARE(internalSerialPort->property("count").toInt(), settings->outputPortList().size());
    QCOMPARE(settings->internalPort(), settings->outputPortList().value(0));
    QCOMPARE(internalSerialPort->property("currentText").toString(), settings->internalPort());
    QCOMPARE(internalSerialPort->width(), view(EncryptorTab)->width());
}

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

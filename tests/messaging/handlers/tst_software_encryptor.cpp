// The encryptor as the manager runs it: moved into its own thread, driven by its single-shot
// loop, deleted through deleteLater when the thread finishes.
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <mutex>

#include "messaging/SoftwareEncryptor.h"
#include "tests/messaging/handlers/HandlerTestSupport.h"

using namespace handlers_test;
using namespace fixtures;

namespace {

struct Emission {
    char direction;  // 'P' from the plain handler, 'E' from the encrypted one
    int pass;        // loop passes completed before the emission
    QByteArray bytes;
};

QStringList warnings;

// An encryptor wired as the manager wires it, with a counter of completed passes: it hangs on
// the loop timer's timeout after the encryptor's own connection, so it moves once a pass ran.
struct Rig {
    QThread thread;
    SoftwareEncryptor *encryptor = new SoftwareEncryptor;
    std::atomic<int> passes{0};
    std::mutex mutex;  // seen by ThreadSanitizer, unlike QMutex
    QVector<Emission> emissions;

    Rig()
    {
        QObject::connect(&thread, &QThread::finished, encryptor, &QObject::deleteLater);
        QObject::connect(&thread, SIGNAL(started()), encryptor, SLOT(transportLoop()), Qt::QueuedConnection);
        if (QTimer *timer = encryptor->findChild<QTimer *>())
            QObject::connect(timer, &QTimer::timeout, timer, [this] { ++passes; }, Qt::DirectConnection);
        for (auto [handler, direction] : {std::pair<MessageHandler *, char>(encryptor->plainMessageHandler(), 'P'),
                                          {encryptor->encryptedMessageHandler(), 'E'}})
            QObject::connect(
                handler, &MessageHandler::dataProcessed, handler,
                [this, d = direction](const QByteArray &bytes) {
                    const std::lock_guard<std::mutex> lock(mutex);
                    emissions.append({d, passes.load(), bytes});
                },
                Qt::DirectConnection);
        encryptor->moveToThread(&thread);
    }

    int emissionCount()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return emissions.size();
    }

    ~Rig()
    {
        if (!thread.isRunning() && !thread.isFinished())
            delete encryptor;  // never started, so finished() will not delete it
        thread.quit();
        thread.wait();
    }
};

} // namespace

class TestSoftwareEncryptor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<mavlink_message_t>("mavlink_message_t"); }
    void init() { resetLink(); }

    void onePassHandlesBothDirectionsGroundControlFirst()
    {
        // Sealed before the thread starts: from then on only its thread touches the security state.
        const QByteArray fromAircraft = sealRecord(fixture(F1)), fromGround = fixture(F3) + fixture(F2);
        Rig rig;
        QVERIFY(rig.encryptor->findChild<QTimer *>());
        MessageHandler *plain = rig.encryptor->plainMessageHandler();
        MessageHandler *encrypted = rig.encryptor->encryptedMessageHandler();
        rig.thread.start();
        QTRY_VERIFY(rig.passes >= 2);
        // One queued call delivers everything between two passes; the modem bytes go in first so
        // that the order of the output comes from the loop, not from the delivery.
        QVERIFY(QMetaObject::invokeMethod(
            rig.encryptor,
            [=] {
                deliver(*encrypted, fromAircraft.left(10));
                deliver(*encrypted, fromAircraft.mid(10));
                deliver(*plain, fromGround.left(15));
                deliver(*plain, fromGround.mid(15));
            },
            Qt::QueuedConnection));
        QTRY_COMPARE(rig.emissionCount(), 3);
        rig.thread.quit();
        rig.thread.wait();

        const QVector<Emission> &out = rig.emissions;
        QCOMPARE(QByteArray() + out[0].direction + out[1].direction + out[2].direction, QByteArray("PPE"));
        QCOMPARE(out[1].pass, out[0].pass);
        QCOMPARE(out[2].pass, out[0].pass);
        QCOMPARE(openRecord(out[0].bytes), fixture(F3));
        QCOMPARE(openRecord(out[1].bytes), fixture(F2));
        QCOMPARE(out[2].bytes, fixture(F1));
    }

    void stoppingThreadEndsLoopAndDeletesInThread()
    {
        warnings.clear();
        // A timer stopped or restarted from a thread other than its own draws a warning.
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
                if (type == QtWarningMsg || type == QtCriticalMsg)
                    warnings.append(text);
            });
        std::atomic<bool> finished{false}, destroyedAfterFinish{false};
        std::atomic<int> passesAtFinish{-1};
        std::atomic<QThread *> destroyedIn{nullptr};
        {
            Rig rig;
            QObject::connect(&rig.thread, &QThread::finished, &rig.thread, [&] {
                passesAtFinish = rig.passes.load();
                finished = true;
            }, Qt::DirectConnection);
            QObject::connect(rig.encryptor, &QObject::destroyed, [&] {
                destroyedAfterFinish = finished.load();
                destroyedIn = QThread::currentThread();
            });
            rig.thread.start();
            QTRY_VERIFY(rig.passes >= 5);
            QCOMPARE(rig.emissionCount(), 0);  // idle, the loop keeps going and emits nothing

            rig.thread.quit();
            QVERIFY(rig.thread.wait(5000));
            QVERIFY2(destroyedIn.load(), "deleteLater ran when the thread finished");
            QCOMPARE(destroyedIn.load(), &rig.thread);
            QVERIFY(destroyedAfterFinish);
            QCOMPARE(rig.passes.load(), passesAtFinish.load());
        }
        qInstallMessageHandler(previous);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }

    void relaysMessageArrivedFromBothHandlers()
    {
        SoftwareEncryptor encryptor;
        QSignalSpy spy(&encryptor, &Encryptor::messageArrived);
        mavlink_message_t message{};
        message.msgid = 76;
        emit encryptor.plainMessageHandler()->messageArrived(message);
        message.msgid = 253;
        emit encryptor.encryptedMessageHandler()->messageArrived(message);
        QCOMPARE(spy.count(), 0);  // queued
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(uint32_t(qvariant_cast<mavlink_message_t>(spy.at(0).at(0)).msgid), 76u);
        QCOMPARE(uint32_t(qvariant_cast<mavlink_message_t>(spy.at(1).at(0)).msgid), 253u);
    }
};

QTEST_GUILESS_MAIN(TestSoftwareEncryptor)
#include "tst_software_encryptor.moc"

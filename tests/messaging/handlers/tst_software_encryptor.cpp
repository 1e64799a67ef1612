// The encryptor as the manager runs it: moved into its own thread, run by the bytes that
// arrive.
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <mutex>

#include "messaging/SoftwareEncryptor.h"
#include "tests/messaging/handlers/HandlerTestSupport.h"

using namespace handlers_test;
using namespace fixtures;

namespace {

struct Emission {
    char direction;  // 'P' from the plain handler, 'E' from the encrypted one
    QByteArray bytes;
};

// An encryptor wired as the manager wires it, its output collected in emission order.
struct Rig {
    QThread thread;
    SoftwareEncryptor *encryptor = new SoftwareEncryptor;
    std::mutex mutex;  // seen by ThreadSanitizer, unlike QMutex
    QVector<Emission> emissions;

    Rig()
    {
        QObject::connect(&thread, &QThread::finished, encryptor, &QObject::deleteLater);
        QObject::connect(&thread, SIGNAL(started()), encryptor, SLOT(transportLoop()), Qt::QueuedConnection);
        for (auto [handler, direction] : {std::pair<MessageHandler *, char>(encryptor->plainMessageHandler(), 'P'),
                                          {encryptor->encryptedMessageHandler(), 'E'}})
            QObject::connect(
                handler, &MessageHandler::dataProcessed, handler,
                [this, d = direction](const QByteArray &bytes) {
                    const std::lock_guard<std::mutex> lock(mutex);
                    emissions.append({d, bytes});
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

    void bothDirectionsWaitingGroundControlGoesFirst_data()
    {
        QTest::addColumn<bool>("separateDeliveries");
        // Both chunks in one call, and each as its own queued call, as two port threads post them.
        QTest::newRow("one delivery") << false;
        QTest::newRow("queued one after the other") << true;
    }

    void bothDirectionsWaitingGroundControlGoesFirst()
    {
        QFETCH(bool, separateDeliveries);
        // Sealed before the thread starts: from then on only its thread touches the security state.
        const QByteArray fromAircraft = sealRecord(fixture(F1)), fromGround = fixture(F3) + fixture(F2);
        Rig rig;
        MessageHandler *plain = rig.encryptor->plainMessageHandler();
        MessageHandler *encrypted = rig.encryptor->encryptedMessageHandler();
        // The modem bytes go in first, so that the order of the output comes from the pass, not
        // from the delivery.
        auto aircraftBytes = [=] {
            deliver(*encrypted, fromAircraft.left(10));
            deliver(*encrypted, fromAircraft.mid(10));
        };
        auto groundBytes = [=] {
            deliver(*plain, fromGround.left(15));
            deliver(*plain, fromGround.mid(15));
        };
        if (separateDeliveries) {
            // Posted before the loop runs, so both wait when the first one is taken in.
            QVERIFY(QMetaObject::invokeMethod(rig.encryptor, aircraftBytes, Qt::QueuedConnection));
            QVERIFY(QMetaObject::invokeMethod(rig.encryptor, groundBytes, Qt::QueuedConnection));
            rig.thread.start();
        } else {
            rig.thread.start();
            QVERIFY(QMetaObject::invokeMethod(rig.encryptor, [=] { aircraftBytes(); groundBytes(); },
                                              Qt::QueuedConnection));
        }
        QTRY_COMPARE(rig.emissionCount(), 3);
        rig.thread.quit();
        rig.thread.wait();

        const QVector<Emission> &out = rig.emissions;
        QCOMPARE(QByteArray() + out[0].direction + out[1].direction + out[2].direction, QByteArray("PPE"));
        QCOMPARE(openRecord(out[0].bytes), fixture(F3));
        QCOMPARE(openRecord(out[1].bytes), fixture(F2));
        QCOMPARE(out[2].bytes, fixture(F1));
    }
};

QTEST_GUILESS_MAIN(TestSoftwareEncryptor)
#include "tst_software_encryptor.moc"

// Key loading from the smart card through a real pcscd: the vpcd virtual reader with the
// simulated card of tools/card-sim, started and stopped by scripts/pcsc-env. The card is
// reconfigured between attempts through its settings file and logs every APDU it receives,
// so each case checks the debug lines, the three fields and the exact commands sent.
//
// The simulated card's premaster is SHA-512(peer key sent || UKM) (its own choice, see
// tools/card-sim/card_sim.py); the expected values are computed here with Qt's SHA-512
// (FIPS 180-4), not taken from the card.

#include "auth/SmartCard.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QStringList>

#include <cstring>

namespace {

const QString kEnvScript = QStringLiteral(UAV_PCSC_ENV);
const QString kEnvDir = QStringLiteral(UAV_PCSC_ENV_DIR);
const QByteArray kUkm = QByteArray::fromHex("C36A1F88E24D9735");
constexpr uint8_t kUntouched = 0xA5;

// --- processes --------------------------------------------------------------------------------

QString runEnv(const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(kEnvScript, QStringList{"--dir", kEnvDir} + arguments);
    const bool finished = process.waitForFinished(90000);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromLocal8Bit(process.readAll()).trimmed();
}

#define PCSC_ENV(...)                                                                  \
    do {                                                                               \
        bool ok_ = false;                                                              \
        const QString out_ = runEnv(QStringList{__VA_ARGS__}, &ok_);                   \
        ASSERT_TRUE(ok_) << "pcsc-env " << QStringList{__VA_ARGS__}.join(' ').toStdString() \
                         << ": " << out_.toStdString();                                \
    } while (0)

// A daemon we did not start makes the no-daemon and no-reader cases impossible here.
bool foreignDaemonRunning()
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    SCardReleaseContext(context);
    return true;
}

// --- debug lines -----------------------------------------------------------------------------

QStringList g_lines;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_lines << message;
}

class DebugCapture
{
public:
    DebugCapture()
    {
        g_lines.clear();
        m_previous = qInstallMessageHandler(collect);
    }
    ~DebugCapture() { qInstallMessageHandler(m_previous); }
    QStringList lines() const { return g_lines; }

private:
    QtMessageHandler m_previous;
};

// --- the card ---------------------------------------------------------------------------------

QByteArray pattern(int start, int step)
{
    QByteArray bytes(64, 0);
    for (int i = 0; i < 64; ++i)
        bytes[i] = char(start + i * step);
    return bytes;
}

const QByteArray kKey1 = pattern(0x11, 3);
const QByteArray kKey2 = pattern(0xF7, -5);
const QByteArray kPremaster = QCryptographicHash::hash(kKey2 + kUkm, QCryptographicHash::Sha512);

struct CardSettings
{
    QStringList faults;
    QString ukm = "C36A1F88E24D9735";
    int announce = 0x40;
    QString atr = "t0";
};

// Replaced atomically (new file, rename): the card rereads it before answering the next message.
void configureCard(const CardSettings &settings)
{
    QJsonObject config{
        {"key1", QString(kKey1.toHex())},
        {"key2", QString(kKey2.toHex())},
        {"premaster", "sha512"},
        {"ukm", settings.ukm},
        {"announce", settings.announce},
        {"atr", settings.atr},
        {"faults", QJsonArray::fromStringList(settings.faults)},
    };
    QSaveFile file(kEnvDir + "/card.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config).toJson());
    ASSERT_TRUE(file.commit());
}

// The C-APDUs the card logged from the given offset of its log on.
class ApduLog
{
public:
    ApduLog() : m_offset(QFile(path()).size()) {}

    QStringList commands() const
    {
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_offset))
            return {"<log unreadable>"};
        QStringList result;
        for (const QByteArray &line : file.readAll().split('\n'))
            if (line.startsWith("C-APDU "))
                result << QString::fromLatin1(line.mid(7));
        return result;
    }

private:
    static QString path() { return kEnvDir + "/card-apdu.log"; }
    qint64 m_offset;
};

struct Fields
{
    uint8_t own[64];
    uint8_t peer[64];
    uint8_t premaster[64];

    Fields()
    {
        std::memset(own, kUntouched, 64);
        std::memset(peer, kUntouched, 64);
        std::memset(premaster, kUntouched, 64);
    }
    bool load() { return loadKeysFromCard(own, peer, premaster); }
};

// The first `replaced` bytes come from the card, the rest kept their old value.
::testing::AssertionResult replacedPrefix(const uint8_t *field, const QByteArray &fromCard, int replaced)
{
    QByteArray expected = fromCard.left(replaced) + QByteArray(64 - replaced, char(kUntouched));
    QByteArray actual(reinterpret_cast<const char *>(field), 64);
    if (actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\n  actual   " << actual.toHex().constData()
                                         << "\n  expected " << expected.toHex().constData();
}

// -1 (a failed exchange) through QString::number(code, 16): Qt formats a negative number in a
// base other than 10 as its 64-bit two's complement.
const char *const kFailedExchange = "FFFFFFFFFFFFFFFF";

const QString kRead1 = "00468101";
const QString kRead2 = "00468102";
const QString kGetResponse = "00C0000040";
const QString kPremasterCommand = "0086010148" + QString(kKey2.toHex().toUpper()) + "C36A1F88E24D9735";

std::string toStd(const QStringList &list)
{
    return "[" + list.join(" | ").toStdString() + "]";
}

// --- environment across suites ----------------------------------------------------------------

bool g_cardUp = false;

void ensureCard()
{
    if (g_cardUp)
        return;
    configureCard({});
    PCSC_ENV("start");
    g_cardUp = true;
}

void stopAll()
{
    PCSC_ENV("stop");
    g_cardUp = false;
}

class StopAtExit : public ::testing::Environment
{
public:
    void TearDown() override { stopAll(); }
};

} // namespace

// --- without a usable reader ------------------------------------------------------------------

TEST(SmartCardWithoutDaemon, ContextFailureIsLoggedAndNothingIsWritten)
{
    stopAll();
    if (foreignDaemonRunning())
        GTEST_SKIP() << "a pcscd not started by this test is running";
    DebugCapture capture;
    Fields fields;
    EXPECT_FALSE(fields.load());
    EXPECT_EQ(capture.lines(), QStringList{"Can't create context for PCSC resource manager: 0x \"8010001D\""})
        << toStd(capture.lines());
    EXPECT_TRUE(replacedPrefix(fields.own, kKey1, 0));
    EXPECT_TRUE(replacedPrefix(fields.peer, kKey2, 0));
    EXPECT_TRUE(replacedPrefix(fields.premaster, kPremaster, 0));
}

TEST(SmartCardWithoutReader, ListFailureIsLogged)
{
    stopAll();
    if (foreignDaemonRunning())
        GTEST_SKIP() << "a pcscd not started by this test is running";
    PCSC_ENV("start-pcscd", "--no-readers");
    DebugCapture capture;
    Fields fields;
    const bool loaded = fields.load();
    const QStringList lines = capture.lines();
    PCSC_ENV("stop-pcscd");
    EXPECT_FALSE(loaded);
    EXPECT_EQ(lines, QStringList{"No available smart card readers: 0x \"8010002E\""}) << toStd(lines);
}

// --- one attempt against a card that answers or misbehaves -------------------------------------

struct AttemptCase
{
    const char *name;
    CardSettings card;
    bool loaded;
    QStringList lines;
    int ownReplaced, peerReplaced, premasterReplaced;  // leading bytes taken from the card
    QStringList commands;
};

void PrintTo(const AttemptCase &c, std::ostream *os)
{
    *os << c.name;
}

class SmartCardAttempt : public ::testing::TestWithParam<AttemptCase>
{
protected:
    static void SetUpTestSuite() { ensureCard(); }
};

TEST_P(SmartCardAttempt, LinesFieldsAndCommands)
{
    const AttemptCase &c = GetParam();
    ASSERT_TRUE(g_cardUp);
    configureCard(c.card);
    ApduLog log;
    DebugCapture capture;
    Fields fields;

    EXPECT_EQ(fields.load(), c.loaded);
    EXPECT_EQ(capture.lines(), c.lines) << toStd(capture.lines());
    EXPECT_TRUE(replacedPrefix(fields.own, kKey1, c.ownReplaced)) << "ownPublicKey";
    EXPECT_TRUE(replacedPrefix(fields.peer, kKey2, c.peerReplaced)) << "peerPublicKey";
    EXPECT_TRUE(replacedPrefix(fields.premaster, kPremaster, c.premasterReplaced)) << "premasterSecret";
    EXPECT_EQ(log.commands(), c.commands) << toStd(log.commands());
}

const QStringList kAllCommands{kRead1, kGetResponse, kRead2, kGetResponse, kPremasterCommand, kGetResponse};

QString keyError(int id, const char *code)
{
    return QString("Error getting public key, key id: %1 , error: 0x \"%2\"").arg(id).arg(code);
}

QString premasterError(const char *code)
{
    return QString("Error generating premaster key, key id: 1 , error: 0x \"%1\"").arg(code);
}

INSTANTIATE_TEST_SUITE_P(
    Pcscd, SmartCardAttempt,
    ::testing::Values(
        AttemptCase{"Answers6140", {}, true, {}, 64, 64, 64, kAllCommands},
        // 61xx announces fewer bytes; GET RESPONSE still asks for 64.
        AttemptCase{"Answers6120", {{}, "C36A1F88E24D9735", 0x20}, true, {}, 64, 64, 64, kAllCommands},
        // A 9000 where 61xx is due fails the operation and sends no GET RESPONSE.
        AttemptCase{"Status9000ForKey1", {{"key1:answer=9000"}}, false, {keyError(1, "9000")},
                    0, 0, 0, {kRead1}},
        AttemptCase{"Status9000ForPremaster", {{"premaster:answer=9000"}}, false, {premasterError("9000")},
                    64, 64, 0, {kRead1, kGetResponse, kRead2, kGetResponse, kPremasterCommand}},
        // Failure at key 2: key 1 already replaced, premaster untouched.
        AttemptCase{"ErrorStatusForKey2", {{"key2:answer=6A82"}}, false, {keyError(2, "6A82")},
                    64, 0, 0, {kRead1, kGetResponse, kRead2}},
        AttemptCase{"GetResponseStatusOnlyForKey1", {{"key1:sw=6F00,length=0"}}, false, {keyError(1, "6F00")},
                    0, 0, 0, {kRead1, kGetResponse}},
        // Data before a failing status word are already in the field.
        AttemptCase{"GetResponseDataThenErrorForPremaster", {{"premaster:sw=6F00"}}, false,
                    {premasterError("6F00")}, 64, 64, 64, kAllCommands},
        AttemptCase{"ShortGetResponseForPremaster", {{"premaster:length=32"}}, true, {}, 64, 64, 32, kAllCommands},
        AttemptCase{"ShortGetResponseForKey1", {{"key1:length=1"}}, true, {}, 1, 64, 64, kAllCommands},
        // 65 data bytes do not fit Le + 2: the resource manager refuses, nothing is copied.
        AttemptCase{"GetResponseLongerThanLeForKey1", {{"key1:length=65"}}, false,
                    {"Error sending command to card: 0x \"80100008\"", keyError(1, kFailedExchange)},
                    0, 0, 0, {kRead1, kGetResponse}},
        // One byte carries no status word.
        AttemptCase{"OneByteAnswerForKey2", {{"key2:answer=61"}}, false,
                    {"Card response without status word, bytes received: 1", keyError(2, kFailedExchange)},
                    64, 0, 0, {kRead1, kGetResponse, kRead2}},
        AttemptCase{"OneByteGetResponseForKey1", {{"key1:length=0,sw=90"}}, false,
                    {"Card response without status word, bytes received: 1", keyError(1, kFailedExchange)},
                    0, 0, 0, {kRead1, kGetResponse}},
        // A card expecting another UKM refuses the premaster command.
        AttemptCase{"CardExpectsOtherUkm", {{}, "0000000000000000"}, false, {premasterError("6A80")},
                    64, 64, 0, {kRead1, kGetResponse, kRead2, kGetResponse, kPremasterCommand}}),
    [](const ::testing::TestParamInfo<AttemptCase> &info) { return std::string(info.param.name); });

// --- the card's view and the connection --------------------------------------------------------

class SmartCardSession : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ensureCard(); }
    void SetUp() override
    {
        ASSERT_TRUE(g_cardUp);
        configureCard({});
    }
};

TEST_F(SmartCardSession, PremasterCommandIsExactly77BytesWithKeyTwoAndUkm)
{
    ApduLog log;
    Fields fields;
    ASSERT_TRUE(fields.load());
    const QStringList commands = log.commands();
    ASSERT_EQ(commands.size(), 6) << toStd(commands);
    const QByteArray premasterCommand = QByteArray::fromHex(commands[4].toLatin1());
    EXPECT_EQ(premasterCommand.size(), 77);
    EXPECT_EQ(premasterCommand, QByteArray::fromHex("0086010148") + kKey2 + kUkm);
    // The key sent is the one just read from key id 2, and the card's answer is kept.
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(fields.peer), 64), premasterCommand.mid(5, 64));
    EXPECT_TRUE(replacedPrefix(fields.premaster, kPremaster, 64));
}

TEST_F(SmartCardSession, DirectCallsNeverWritePastTheirDestination)
{
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    LPSTR readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&readers), &length), SCARD_S_SUCCESS);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(context, readers, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, &card, &protocol),
              SCARD_S_SUCCESS);
    DebugCapture capture;
    ApduLog log;

    // Le 16: the card hands out 16 bytes and announces the other 48.
    uint8_t buffer[32];
    std::memset(buffer, kUntouched, sizeof buffer);
    EXPECT_EQ(transmitApdu(card, 0x00, 0x46, 0x81, 0x01, nullptr, 0, nullptr, 0), 0x6140);
    EXPECT_EQ(transmitApdu(card, 0x00, 0xC0, 0x00, 0x00, nullptr, 0, buffer, 16), 0x6130);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(buffer), 32), kKey1.left(16) + QByteArray(16, char(kUntouched)));

    // A 16-byte destination still gets a 64-byte GET RESPONSE, and only its 16 bytes change.
    std::memset(buffer, kUntouched, sizeof buffer);
    EXPECT_EQ(readPublicKey(card, 2, buffer, 16), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(buffer), 32), kKey2.left(16) + QByteArray(16, char(kUntouched)));

    // A peer key of the wrong length is refused before anything is sent.
    const QByteArray shortKey = kKey2.left(63);
    EXPECT_EQ(computePremaster(card, 1, reinterpret_cast<const uint8_t *>(shortKey.constData()), 63, buffer, 16), -1);

    EXPECT_EQ(capture.lines(), QStringList{premasterError(kFailedExchange)}) << toStd(capture.lines());
    EXPECT_EQ(log.commands(), (QStringList{kRead1, "00C0000010", kRead2, kGetResponse})) << toStd(log.commands());
    SCardFreeMemory(context, readers);
    SCardReleaseContext(context);
}

// Each attempt releases its context: the exclusive connection must not outlive it.
TEST_F(SmartCardSession, AttemptsFollowEachOtherAndYieldToAnotherHolder)
{
    Fields first, second;
    ASSERT_TRUE(first.load());
    ASSERT_TRUE(second.load());

    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    LPSTR readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&readers), &length), SCARD_S_SUCCESS);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(context, readers, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &protocol),
              SCARD_S_SUCCESS);
    {
        DebugCapture capture;
        Fields held;
        EXPECT_FALSE(held.load());
        EXPECT_EQ(capture.lines(), QStringList{"Can't connect to smart card: 0x \"8010000B\""})
            << toStd(capture.lines());
    }
    SCardFreeMemory(context, readers);
    SCardReleaseContext(context);
    Fields after;
    EXPECT_TRUE(after.load());
}

TEST_F(SmartCardSession, NoCardInTheReader)
{
    PCSC_ENV("card-remove");
    DebugCapture capture;
    Fields fields;
    const bool loaded = fields.load();
    const QStringList lines = capture.lines();
    PCSC_ENV("card-insert");
    EXPECT_FALSE(loaded);
    EXPECT_EQ(lines, QStringList{"Can't connect to smart card: 0x \"8010000C\""}) << toStd(lines);
    EXPECT_TRUE(replacedPrefix(fields.own, kKey1, 0));
    Fields again;
    EXPECT_TRUE(again.load()) << "the card is back";
}

TEST_F(SmartCardSession, CardOfferingOnlyT1IsRefusedAtConnect)
{
    CardSettings t1;
    t1.atr = "t1";
    configureCard(t1);
    PCSC_ENV("card-remove");
    PCSC_ENV("card-insert");
    DebugCapture capture;
    Fields fields;
    const bool loaded = fields.load();
    const QStringList lines = capture.lines();
    configureCard({});
    PCSC_ENV("card-remove");
    PCSC_ENV("card-insert");
    EXPECT_FALSE(loaded);
    EXPECT_EQ(lines, QStringList{"Can't connect to smart card: 0x \"8010000F\""}) << toStd(lines);
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new StopAtExit);
    return RUN_ALL_TESTS();
}

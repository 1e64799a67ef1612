// Key loading from the smart card through a real pcscd: the vpcd virtual reader with the
// simulated card of tools/card-sim, both run by scripts/pcsc-env. The card rereads its settings
// before each message and logs every APDU: each case checks the result, the three fields and
// the exact commands. The card's premaster is SHA-512(peer key sent || UKM) (its own choice,
// see tools/card-sim/card_sim.py), computed here with Qt's SHA-512 (FIPS 180-4).
#include "auth/SmartCard.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>

#include <cstring>

namespace {

const QString kEnvDir = QStringLiteral(UAV_PCSC_ENV_DIR);
constexpr uint8_t kUntouched = 0xA5;

// Runs scripts/pcsc-env; a failure is reported with the script's output.
::testing::AssertionResult pcscEnv(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(UAV_PCSC_ENV), QStringList{"--dir", kEnvDir} + arguments);
    if (!process.waitForFinished(90000)) {
        process.kill();
        process.waitForFinished();
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pcsc-env " << arguments.join(' ').toStdString() << ": "
                                         << process.readAll().trimmed().constData();
}

QByteArray pattern(int start, int step)
{
    QByteArray bytes(64, 0);
    for (int i = 0; i < 64; ++i)
        bytes[i] = char(start + i * step);
    return bytes;
}

const QByteArray kKey1 = pattern(0x11, 3);
const QByteArray kKey2 = pattern(0xF7, -5);
const QByteArray kPremaster =
    QCryptographicHash::hash(kKey2 + QByteArray::fromHex("C36A1F88E24D9735"), QCryptographicHash::Sha512);

struct CardSettings
{
    QStringList faults;
    QString ukm = "C36A1F88E24D9735";
    int announce = 0x40;
    QString atr = "t0";
};

// Replaced atomically (new file, rename), so the card never reads half of it.
void configureCard(const CardSettings &settings)
{
    const QJsonObject config{
        {"key1", QString(kKey1.toHex())}, {"key2", QString(kKey2.toHex())},
        {"premaster", "sha512"},          {"ukm", settings.ukm},
        {"announce", settings.announce},  {"atr", settings.atr},
        {"faults", QJsonArray::fromStringList(settings.faults)},
    };
    QSaveFile file(kEnvDir + "/card.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config).toJson());
    ASSERT_TRUE(file.commit());
}

// The C-APDUs the card logged since this object was made.
struct ApduLog
{
    qint64 offset = QFile(kEnvDir + "/card-apdu.log").size();
    QStringList commands() const
    {
        QFile file(kEnvDir + "/card-apdu.log");
        if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
            return {"<log unreadable>"};
        QStringList result;
        for (const QByteArray &line : file.readAll().split('\n'))
            if (line.startsWith("C-APDU "))
                result << QString::fromLatin1(line.mid(7));
        return result;
    }
};

struct Fields
{
    uint8_t own[64], peer[64], premaster[64];
    Fields()
    {
        for (uint8_t *field : {own, peer, premaster})
            std::memset(field, kUntouched, 64);
    }
    bool load() { return loadKeysFromCard(own, peer, premaster); }
};

// The first `replaced` bytes come from the card, the rest kept their old value.
::testing::AssertionResult replacedPrefix(const uint8_t *field, const QByteArray &fromCard, int replaced)
{
    const QByteArray expected = fromCard.left(replaced) + QByteArray(64 - replaced, char(kUntouched));
    const QByteArray actual(reinterpret_cast<const char *>(field), 64);
    if (actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\n  actual   " << actual.toHex().constData()
                                         << "\n  expected " << expected.toHex().constData();
}

const QString kRead1 = "00468101";
const QString kRead2 = "00468102";
const QString kGetResponse = "00C0000040";
// 77 bytes: the header, the key just read from id 2, the UKM.
const QString kPremasterCommand = "0086010148" + QString(kKey2.toHex().toUpper()) + "C36A1F88E24D9735";
const QStringList kAllCommands{kRead1, kGetResponse, kRead2, kGetResponse, kPremasterCommand, kGetResponse};

// One attempt that fails before talking to the card: no field written.
void expectRefused()
{
    Fields fields;
    EXPECT_FALSE(fields.load());
    EXPECT_TRUE(replacedPrefix(fields.own, kKey1, 0));
    EXPECT_TRUE(replacedPrefix(fields.peer, kKey2, 0));
    EXPECT_TRUE(replacedPrefix(fields.premaster, kPremaster, 0));
}

// A connection of the test's own beside the code under test.
struct OwnConnection
{
    SCARDCONTEXT context = 0;
    LPSTR readers = nullptr;
    SCARDHANDLE card = 0;
    LONG connect(DWORD share)
    {
        DWORD length = SCARD_AUTOALLOCATE, protocol = 0;
        LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
        if (rv == SCARD_S_SUCCESS)
            rv = SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&readers), &length);
        if (rv == SCARD_S_SUCCESS)
            rv = SCardConnect(context, readers, share, SCARD_PROTOCOL_T0, &card, &protocol);
        return rv;
    }
    ~OwnConnection()
    {
        if (readers)
            SCardFreeMemory(context, readers);
        if (context)
            SCardReleaseContext(context);
    }
};

bool g_cardUp = false;

void ensureCard()
{
    if (g_cardUp)
        return;
    configureCard({});
    ASSERT_TRUE(pcscEnv({"start"}));
    g_cardUp = true;
}

void stopAll()
{
    ASSERT_TRUE(pcscEnv({"stop"}));
    g_cardUp = false;
}

class StopAtExit : public ::testing::Environment
{
public:
    void TearDown() override { stopAll(); }
};

} // namespace

TEST(SmartCardWithoutReader, ContextAndListFailuresWriteNothing)
{
    stopAll();
    // A daemon we did not start makes these cases impossible here.
    if (OwnConnection probe; probe.connect(SCARD_SHARE_SHARED) != SCARD_E_NO_SERVICE)
        GTEST_SKIP() << "a pcscd not started by this test is running";
    expectRefused();
    ASSERT_TRUE(pcscEnv({"start-pcscd", "--no-readers"}));
    expectRefused();
    ASSERT_TRUE(pcscEnv({"stop-pcscd"}));
}

struct AttemptCase
{
    const char *name;
    CardSettings card;
    bool loaded;
    int ownReplaced, peerReplaced, premasterReplaced; // leading bytes taken from the card
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

TEST_P(SmartCardAttempt, ResultFieldsAndCommands)
{
    const AttemptCase &c = GetParam();
    ASSERT_TRUE(g_cardUp);
    configureCard(c.card);
    ApduLog apdus;
    Fields fields;
    EXPECT_EQ(fields.load(), c.loaded);
    EXPECT_TRUE(replacedPrefix(fields.own, kKey1, c.ownReplaced)) << "ownPublicKey";
    EXPECT_TRUE(replacedPrefix(fields.peer, kKey2, c.peerReplaced)) << "peerPublicKey";
    EXPECT_TRUE(replacedPrefix(fields.premaster, kPremaster, c.premasterReplaced)) << "premasterSecret";
    EXPECT_EQ(apdus.commands(), c.commands) << apdus.commands().join(" | ").toStdString();
}

const QStringList kUpToPremaster = kAllCommands.mid(0, 5);

INSTANTIATE_TEST_SUITE_P(
    Pcscd, SmartCardAttempt,
    ::testing::Values(
        AttemptCase{"Answers6140", {}, true, 64, 64, 64, kAllCommands},
        // 61xx announces fewer bytes; GET RESPONSE still asks for 64.
        AttemptCase{"Answers6120", {{}, "C36A1F88E24D9735", 0x20}, true, 64, 64, 64, kAllCommands},
        // A 9000 where 61xx is due fails the operation and sends no GET RESPONSE.
        AttemptCase{"Status9000ForKey1", {{"key1:answer=9000"}}, false, 0, 0, 0, {kRead1}},
        AttemptCase{"Status9000ForPremaster", {{"premaster:answer=9000"}}, false, 64, 64, 0, kUpToPremaster},
        // Failure at key 2: key 1 already replaced, premaster untouched.
        AttemptCase{"ErrorStatusForKey2", {{"key2:answer=6A82"}}, false, 64, 0, 0, {kRead1, kGetResponse, kRead2}},
        AttemptCase{"GetResponseStatusOnlyForKey1", {{"key1:sw=6F00,length=0"}}, false, 0, 0, 0,
                    {kRead1, kGetResponse}},
        // Data before a failing status word are already in the field.
        AttemptCase{"GetResponseDataThenErrorForPremaster", {{"premaster:sw=6F00"}}, false, 64, 64, 64, kAllCommands},
        AttemptCase{"ShortGetResponseForKey1", {{"key1:length=1"}}, true, 1, 64, 64, kAllCommands},
        // 65 data bytes do not fit Le + 2: the resource manager refuses, nothing is copied.
        AttemptCase{"GetResponseLongerThanLeForKey1", {{"key1:length=65"}}, false, 0, 0, 0, {kRead1, kGetResponse}},
        // One byte carries no status word.
        AttemptCase{"OneByteAnswerForKey2", {{"key2:answer=61"}}, false, 64, 0, 0, {kRead1, kGetResponse, kRead2}},
        AttemptCase{"OneByteGetResponseForKey1", {{"key1:length=0,sw=90"}}, false, 0, 0, 0, {kRead1, kGetResponse}},
        // A card expecting another UKM refuses the premaster command.
        AttemptCase{"CardExpectsOtherUkm", {{}, "0000000000000000"}, false, 64, 64, 0, kUpToPremaster}),
    [](const ::testing::TestParamInfo<AttemptCase> &info) { return std::string(info.param.name); });

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

TEST_F(SmartCardSession, DirectCallsNeverWritePastTheirDestination)
{
    OwnConnection own;
    ASSERT_EQ(own.connect(SCARD_SHARE_EXCLUSIVE), SCARD_S_SUCCESS);
    ApduLog apdus;
    uint8_t buffer[32];
    auto bufferHolds = [&](const QByteArray &key) {
        return QByteArray(reinterpret_cast<char *>(buffer), 32) == key.left(16) + QByteArray(16, char(kUntouched));
    };

    // Le 16: the card hands out 16 bytes and announces the other 48.
    std::memset(buffer, kUntouched, sizeof buffer);
    EXPECT_EQ(transmitApdu(own.card, 0x00, 0x46, 0x81, 0x01, nullptr, 0, nullptr, 0), 0x6140);
    EXPECT_EQ(transmitApdu(own.card, 0x00, 0xC0, 0x00, 0x00, nullptr, 0, buffer, 16), 0x6130);
    EXPECT_TRUE(bufferHolds(kKey1));
    // A 16-byte destination still gets a 64-byte GET RESPONSE, and only its 16 bytes change.
    std::memset(buffer, kUntouched, sizeof buffer);
    EXPECT_EQ(readPublicKey(own.card, 2, buffer, 16), 0);
    EXPECT_TRUE(bufferHolds(kKey2));
    // A peer key of the wrong length is refused before anything is sent.
    EXPECT_EQ(computePremaster(own.card, 1, reinterpret_cast<const uint8_t *>(kKey2.constData()), 63, buffer, 16), -1);

    EXPECT_EQ(apdus.commands(), (QStringList{kRead1, "00C0000010", kRead2, kGetResponse}))
        << apdus.commands().join(" | ").toStdString();
}

// Each attempt releases its context: the exclusive connection must not outlive it.
TEST_F(SmartCardSession, AttemptsFollowEachOtherAndYieldToAnotherHolder)
{
    ASSERT_TRUE(Fields().load());
    ASSERT_TRUE(Fields().load());
    {
        OwnConnection holder;
        ASSERT_EQ(holder.connect(SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
        expectRefused();
    }
    EXPECT_TRUE(Fields().load());
}

TEST_F(SmartCardSession, ReaderWithoutAUsableCard)
{
    ASSERT_TRUE(pcscEnv({"card-remove"}));
    expectRefused();
    ASSERT_TRUE(pcscEnv({"card-insert"}));
    EXPECT_TRUE(Fields().load()) << "the card is back";

    configureCard({{}, "C36A1F88E24D9735", 0x40, "t1"}); // a card that offers only T=1
    ASSERT_TRUE(pcscEnv({"card-remove"}));
    ASSERT_TRUE(pcscEnv({"card-insert"}));
    expectRefused();
    configureCard({});
    ASSERT_TRUE(pcscEnv({"card-remove"}));
    ASSERT_TRUE(pcscEnv({"card-insert"}));
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new StopAtExit);
    return RUN_ALL_TESTS();
}

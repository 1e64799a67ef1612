#include "auth/AuthenticationManager.h"

#include <QStringList>

#include <cstdint>
#include <ctime>
#include <utility>

#include "auth/Handshake.h"
#include "auth/LinkSecurityState.h"
#include "auth/SmartCard.h"
#include "crypto/SelfTest.h"
#include "crypto/Wipe.h"
#include "messaging/LinkFrameParser.h"

AuthenticationManager::AuthenticationManager(QObject *parent)
    : QObject(parent)
    , authTimer(this)
    , keyLoadTimer(this)
{
    authTimer.setSingleShot(true);
    connect(&authTimer, SIGNAL(timeout()), this, SLOT(authLoop()), Qt::AutoConnection);
    connect(&keyLoadTimer, SIGNAL(timeout()), this, SLOT(keyLoadLoop()), Qt::AutoConnection);
}

AuthenticationManager::~AuthenticationManager() = default;

void AuthenticationManager::dataArrived(QByteArray data)
{
    inputBuffer.append(data);
    // While the card cannot be read nothing examines the buffer; a radio left on for days
    // must not fill the memory. The newest bytes hold any hello worth answering.
    if (inputBuffer.size() > kMaxPendingInput)
        inputBuffer.remove(0, inputBuffer.size() - kMaxPendingInput);
}

namespace {

// Empty when the start may go on; otherwise the text for the user.
QString refusalBeforeKeyLoading()
{
    SelfTestResult results[kSelfTestCount];
    if (!runSelfTests(results)) {
        QStringList failed;
        for (const SelfTestResult &result : results)
            if (!result.passed)
                failed << QString::fromLatin1(result.name);
        return QStringLiteral("Ошибка самопроверки шифрования (%1). Запуск остановлен")
            .arg(failed.join(QStringLiteral(", ")));
    }
    // The handshake draws its random there; find out now rather than at the aircraft's hello.
    uint8_t probe[32];
    const bool haveRandom = fillHandshakeRandom(probe);
    secureWipe(probe, sizeof probe);
    if (!haveRandom)
        return QStringLiteral("Генератор случайных чисел системы недоступен. Аутентификация не запущена");
    return QString();
}

} // namespace

void AuthenticationManager::startKeyLoading()
{
    const QString refusal = refusalBeforeKeyLoading();
    if (!refusal.isEmpty()) {
        emit notification(refusal);
        emit startRefused(refusal);
        return;
    }
    emit notification(QStringLiteral("Выполняется загрузка ключей..."));
    QMetaObject::invokeMethod(this, "keyLoadLoop", Qt::QueuedConnection);
}

void AuthenticationManager::keyLoadLoop()
{
    LinkSecurityState &state = LinkSecurityState::instance();
    if (loadKeysFromCard(state.ownPublicKey, state.peerPublicKey, state.premasterSecret)) {
        startAuthentication();
        keyLoadTimer.stop();
    } else {
        keyLoadTimer.start(1000);
    }
}

void AuthenticationManager::startAuthentication()
{
    emit notification(QStringLiteral("Выполняется аутентификация..."));
    QMetaObject::invokeMethod(this, "authLoop", Qt::QueuedConnection);
}

void AuthenticationManager::authLoop()
{
    LinkSecurityState &state = LinkSecurityState::instance();
    LinkFrameParser &parser = LinkFrameParser::instance();
    LinkFrame frame;
    LinkFrame reply;
    uint8_t wire[kLinkFrameMaxSize];

    // Taken out first: a receiver connected directly could append while the loop runs.
    const QByteArray pending = std::exchange(inputBuffer, QByteArray());
    const auto answer = [&] {
        if (!handleHandshakeFrame(state, frame, authState))
            return;
        if (!buildHandshakeReply(state, authState, reply))
            return;
        const uint16_t size = writeLinkFrame(reply, wire);
        emit dataProcessed(QByteArray(reinterpret_cast<const char *>(wire), size));
        lastReplyTime = std::time(nullptr);
    };
    for (const char byte : pending) {
        if (parser.parseByte(static_cast<uint8_t>(byte), frame))
            answer();
    }
    while (parser.nextHeldFrame(frame))
        answer();
    // A frame cut off at the end of the buffer stays in the parser.

    const std::time_t now = std::time(nullptr);
    if (authState == 2 && now - lastReplyTime > 5) {
        const uint8_t netId = deriveNetworkId(state);
        emit notification(QStringLiteral("Аутентификация успешно завершена"));
        emit authenticationSucceeded(static_cast<int>(netId));
        return;
    }
    authTimer.start(1);
}

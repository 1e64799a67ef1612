#include "tests/messaging/handlers/HandlerTestSupport.h"

#include <QMetaObject>

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkFrameParser.h"
#include "messaging/MessageHandler.h"

namespace handlers_test {

namespace {

// The aircraft's end: the ground refuses its own Data records coming back.
LinkSecurityState aircraft;

} // namespace

void resetLink()
{
    // Any 32 bytes do: the tests only need both directions to share one master secret.
    const Bytes secret = fromHex("4b1d9207e35a60c819f42eb7830d56a13cd97408be612f95ca4710e85d339b76");
    LinkSecurityState::instance().installMasterSecret(secret.data());
    aircraft.installMasterSecret(secret.data());
    // Its numbers run one ahead of the ground's, as a real aircraft's do after its first
    // HEARTBEAT: an echo under the same number would be the ground's own record byte for byte.
    const uint8_t first = 0;
    LinkFrame frame{};
    protectFrame(aircraft, &first, 1, frame);
    for (uint8_t channel = 0; channel < 2; ++channel)
        resetChannel(channel, 0);
    // The LinkFrame parser has no reset. Zeros carry it out of any state: they complete no frame
    // (the end marker is 0xED, a zero length is refused) and a waiting parser skips them.
    for (int i = 0; i < kLinkFrameMaxSize + 64; ++i)
        LinkFrameParser::instance().parseByte(0, frame);
}

void deliver(MessageHandler &handler, const QByteArray &chunk)
{
    if (!QMetaObject::invokeMethod(&handler, "dataArrived", Qt::DirectConnection, Q_ARG(QByteArray, chunk)))
        qFatal("no dataArrived slot");
}

QByteArray sealRecord(const QByteArray &plaintext, uint8_t type)
{
    LinkFrame frame{};
    frame.startMarker = kLinkFrameStartMarker;
    frame.type = type;
    frame.endMarker = kLinkFrameEndMarker;
    if (!protectFrame(aircraft, reinterpret_cast<const uint8_t *>(plaintext.constData()),
                      uint16_t(plaintext.size()), frame))
        return {};
    uint8_t wire[kLinkFrameMaxSize];
    return QByteArray(reinterpret_cast<const char *>(wire), writeLinkFrame(frame, wire));
}

bool readWireFrame(const QByteArray &bytes, LinkFrame &frame)
{
    LinkFrameParser parser;
    for (int i = 0; i < bytes.size(); ++i)
        if (parser.parseByte(uint8_t(bytes[i]), frame))
            return i + 1 == bytes.size() && bytes.size() == frame.length + kLinkFrameOverhead;
    return false;
}

QByteArray openRecord(const QByteArray &wireBytes)
{
    LinkFrame frame;
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint16_t length = 0;
    if (!readWireFrame(wireBytes, frame) || !unprotectFrame(aircraft, frame, plaintext, &length))
        return {};
    return QByteArray(reinterpret_cast<const char *>(plaintext), length);
}

} // namespace handlers_test

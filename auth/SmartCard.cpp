#include "auth/SmartCard.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kClaIso = 0x00;
constexpr uint8_t kInsReadPublicKey = 0x46;  // GENERATE ASYMMETRIC KEY PAIR, P1 0x81: read the public part
constexpr uint8_t kP1ReadPublicKey = 0x81;
constexpr uint8_t kInsComputePremaster = 0x86;  // GENERAL AUTHENTICATE
constexpr uint8_t kP1ComputePremaster = 0x01;
constexpr uint8_t kInsGetResponse = 0xC0;

constexpr uint8_t kResultLength = 64;
constexpr size_t kPublicKeyLength = 64;
constexpr int kStatusSuccess = 0x9000;
constexpr int kStatusMoreData = 0x6100;  // 61xx: the result waits for GET RESPONSE

// Sent after the peer key; its meaning belongs to the card applet.
constexpr uint8_t kPremasterTail[8] = {0xC3, 0x6A, 0x1F, 0x88, 0xE2, 0x4D, 0x97, 0x35};

// PC/SC codes are unsigned 32-bit values; LONG is signed (and 32 bits on Windows).
QString codeText(LONG code)
{
    return QString::number(static_cast<quint32>(code), 16).toUpper();
}

QString statusText(int status)
{
    return QString::number(status, 16).toUpper();
}

// Responses carry the premaster secret: clear them before the memory goes back to the heap.
void wipe(void *memory, size_t length)
{
    volatile uint8_t *bytes = static_cast<volatile uint8_t *>(memory);
    while (length--)
        *bytes++ = 0;
}

void logKeyError(uint8_t keyId, int status)
{
    qDebug() << "Error getting public key, key id:" << int(keyId) << ", error: 0x" << statusText(status);
}

void logPremasterError(uint8_t keyId, int status)
{
    qDebug() << "Error generating premaster key, key id:" << int(keyId) << ", error: 0x" << statusText(status);
}

// transmitApdu that also reports how many data bytes went into response.
int exchange(SCARDHANDLE card, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
             const uint8_t *data, uint8_t lc, uint8_t *response, uint8_t le, size_t *received)
{
    if (received)
        *received = 0;
    if (lc != 0 && data == nullptr) {
        qDebug() << "Card command without its data, Lc:" << int(lc);
        return -1;
    }

    QByteArray command;
    command.reserve(5 + lc);
    command.append(char(cla)).append(char(ins)).append(char(p1)).append(char(p2));
    if (lc != 0) {
        command.append(char(lc));
        command.append(reinterpret_cast<const char *>(data), lc);
    } else if (le != 0) {
        command.append(char(le));
    }

    std::vector<uint8_t> buffer(size_t(le) + 2);
    DWORD responseLength = DWORD(buffer.size());
#ifdef _WIN32
    const SCARD_IO_REQUEST *pci = &g_rgSCardT0Pci;
#else
    const SCARD_IO_REQUEST *pci = SCARD_PCI_T0;
#endif
    const LONG rv = SCardTransmit(card, pci, reinterpret_cast<LPCBYTE>(command.constData()),
                                  DWORD(command.size()), nullptr, buffer.data(), &responseLength);
    int status = -1;
    if (rv != SCARD_S_SUCCESS) {
        qDebug() << "Error sending command to card: 0x" << codeText(rv);
    } else if (responseLength < 2) {
        // No status word to judge: treat like a failed transmission rather than read stale bytes.
        qDebug() << "Card response without status word, bytes received:" << qulonglong(responseLength);
    } else if (responseLength > buffer.size()) {
        // Only a broken resource manager reports more than the buffer holds; trust none of it.
        qDebug() << "Card response longer than requested, bytes received:" << qulonglong(responseLength);
    } else {
        status = buffer[responseLength - 2] * 256 + buffer[responseLength - 1];
        // Data are copied whatever the status says; never more than Le.
        const size_t dataLength = std::min<size_t>(responseLength - 2, le);
        if (response && dataLength > 0) {
            std::memcpy(response, buffer.data(), dataLength);
            if (received)
                *received = dataLength;
        }
    }
    wipe(buffer.data(), buffer.size());
    return status;
}

// GET RESPONSE for the full 64-byte result, whatever SW2 of the 61xx announced. Only the bytes
// the card returned replace the destination, and never more than it holds.
int fetchResult(SCARDHANDLE card, uint8_t *destination, size_t length)
{
    uint8_t result[kResultLength];
    size_t received = 0;
    const int status = exchange(card, kClaIso, kInsGetResponse, 0x00, 0x00, nullptr, 0,
                                result, kResultLength, &received);
    if (destination)
        std::memcpy(destination, result, std::min(received, length));
    wipe(result, sizeof result);
    return status;
}

bool hasMoreData(int status)
{
    return status >= 0 && (status & 0xFF00) == kStatusMoreData;
}

// One attempt's PC/SC resources. Releasing the context also ends the card connection, which
// is never disconnected on its own.
struct CardSession
{
    SCARDCONTEXT context = 0;
    LPVOID readers = nullptr;

    ~CardSession()
    {
        if (readers)
            SCardFreeMemory(context, readers);
        SCardReleaseContext(context);
    }
};

} // namespace

int transmitApdu(SCARDHANDLE card, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                 const uint8_t *data, uint8_t lc, uint8_t *response, uint8_t le)
{
    return exchange(card, cla, ins, p1, p2, data, lc, response, le, nullptr);
}

int readPublicKey(SCARDHANDLE card, uint8_t keyId, uint8_t *destination, size_t length)
{
    int status = transmitApdu(card, kClaIso, kInsReadPublicKey, kP1ReadPublicKey, keyId, nullptr, 0, nullptr, 0);
    if (!hasMoreData(status)) {
        logKeyError(keyId, status);
        return status;
    }
    status = fetchResult(card, destination, length);
    if (status != kStatusSuccess) {
        logKeyError(keyId, status);
        return status;
    }
    return 0;
}

int computePremaster(SCARDHANDLE card, uint8_t keyId, const uint8_t *peerPublicKey, size_t peerLength,
                     uint8_t *destination, size_t length)
{
    if (peerPublicKey == nullptr || peerLength != kPublicKeyLength) {
        logPremasterError(keyId, -1);
        return -1;
    }
    uint8_t data[kPublicKeyLength + sizeof kPremasterTail];
    std::memcpy(data, peerPublicKey, kPublicKeyLength);
    std::memcpy(data + kPublicKeyLength, kPremasterTail, sizeof kPremasterTail);

    int status = transmitApdu(card, kClaIso, kInsComputePremaster, kP1ComputePremaster, keyId,
                              data, uint8_t(sizeof data), nullptr, 0);
    if (!hasMoreData(status)) {
        logPremasterError(keyId, status);
        return status;
    }
    status = fetchResult(card, destination, length);
    if (status != kStatusSuccess) {
        logPremasterError(keyId, status);
        return status;
    }
    return 0;
}

bool loadKeysFromCard(uint8_t ownPublicKey[64], uint8_t peerPublicKey[64], uint8_t premasterSecret[64])
{
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        qDebug() << "Can't create context for PCSC resource manager: 0x" << codeText(rv);
        return false;
    }
    CardSession session;
    session.context = context;

    // The resource manager allocates the list; passed whole as the reader name, it selects the
    // first reader.
    DWORD readersLength = SCARD_AUTOALLOCATE;
#ifdef _WIN32
    LPWSTR readers = nullptr;
    rv = SCardListReadersW(context, nullptr, reinterpret_cast<LPWSTR>(&readers), &readersLength);
#else
    LPSTR readers = nullptr;
    rv = SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&readers), &readersLength);
#endif
    if (rv != SCARD_S_SUCCESS) {
        qDebug() << "No available smart card readers: 0x" << codeText(rv);
        return false;
    }
    session.readers = readers;

    SCARDHANDLE card = 0;
    DWORD activeProtocol = 0;
#ifdef _WIN32
    rv = SCardConnectW(context, readers, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, &card, &activeProtocol);
#else
    rv = SCardConnect(context, readers, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, &card, &activeProtocol);
#endif
    if (rv != SCARD_S_SUCCESS) {
        qDebug() << "Can't connect to smart card: 0x" << codeText(rv);
        return false;
    }

    if (readPublicKey(card, 1, ownPublicKey, kPublicKeyLength) != 0)
        return false;
    if (readPublicKey(card, 2, peerPublicKey, kPublicKeyLength) != 0)
        return false;
    return computePremaster(card, 1, peerPublicKey, kPublicKeyLength, premasterSecret, kResultLength) == 0;
}

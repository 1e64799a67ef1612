#include "messaging/MessageHandler.h"

#include <utility>

MessageHandler::MessageHandler(QObject *parent)
    : QObject(parent)
{
}

void MessageHandler::dataArrived(QByteArray data)
{
    if (data.isEmpty())
        return;
    const bool wasEmpty = pendingData.isEmpty();
    // Appending to an empty buffer shares the chunk instead of copying it.
    pendingData.append(data);
    if (wasEmpty)
        emit dataPending();
}

QByteArray MessageHandler::takePendingData()
{
    return std::exchange(pendingData, QByteArray());
}

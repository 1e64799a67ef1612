#include "messaging/MessageHandler.h"

#include <utility>

MessageHandler::MessageHandler(QObject *parent)
    : QObject(parent)
{
}

void MessageHandler::dataArrived(QByteArray data)
{
    // Appending to an empty buffer shares the chunk instead of copying it.
    pendingData.append(data);
}

QByteArray MessageHandler::takePendingData()
{
    return std::exchange(pendingData, QByteArray());
}

// One direction of the relay: buffers the bytes it is given, tells its encryptor that work is
// waiting, and when the encryptor calls handleData() turns them into whole output frames, one
// emission per frame.
#pragma once

#include <QByteArray>
#include <QObject>

#include "messaging/MavlinkMetaType.h"

class MessageHandler : public QObject
{
    Q_OBJECT

public:
    explicit MessageHandler(QObject *parent = nullptr);

    virtual bool isEncrypted() const = 0;

signals:
    void dataProcessed(QByteArray data);
    void messageArrived(mavlink_message_t message);
    // The buffer went from empty to holding bytes: a pass is needed. Emitted once per batch,
    // not per chunk, so a burst of chunks costs one pass.
    void dataPending();

public slots:
    // Processes every byte buffered so far and empties the buffer.
    virtual void handleData() = 0;

private slots:
    void dataArrived(QByteArray data);

protected:
    // Hands the buffered bytes to the caller and leaves the buffer empty, so that bytes
    // appended while the caller works on them wait for the next pass.
    QByteArray takePendingData();

    QByteArray pendingData;
};

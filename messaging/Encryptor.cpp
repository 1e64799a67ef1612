#include "messaging/Encryptor.h"

Encryptor::Encryptor(QObject *parent)
    : QObject(parent)
{
}

import QtQuick 2.9
import QtQuick.Controls 2.2
import QtQuick.Controls.Material 2.2
import QtQuick.Layouts 1.3

// The link's health, refreshed by the manager once a second while the link runs.
GridLayout {
    property var health: encryptorManager.linkHealth
    // Material red: a record that fails its MAC is interference at best, a forgery at worst.
    readonly property color warningColor: Material.color(Material.Red)

    columns: 2
    columnSpacing: 20
    rowSpacing: 8

    function rate(bytesPerSecond) {
        return qsTr("%1 байт/с").arg(Math.round(bytesPerSecond))
    }

    Label {
        text: qsTr("Состояние")
    }
    Label {
        id: linkState
        Layout.fillWidth: true
        font.bold: true
        color: ["AircraftSilent", "ModemPortLost", "GroundPortLost"].indexOf(health.stateName) >= 0
               ? warningColor : Material.foreground
        text: {
            switch (health.stateName) {
            case "Authenticating": return qsTr("Выполняется аутентификация")
            case "ConfiguringModem": return qsTr("Выполняется настройка модема")
            case "Relaying": return qsTr("Обмен данными")
            case "AircraftSilent": return qsTr("Нет данных от БПЛА %1 с").arg(health.silentSeconds)
            case "ModemPortLost": return qsTr("Потеряно соединение с портом модема")
            case "GroundPortLost": return qsTr("Потеряно соединение с портом наземной станции")
            default: return qsTr("Шифратор остановлен")
            }
        }
    }

    Label {
        text: qsTr("Передача на БПЛА")
    }
    Label {
        id: rateToAircraft
        Layout.fillWidth: true
        text: rate(health.rateToAircraft) + qsTr(", записей: %1").arg(health.recordsSent)
    }

    Label {
        text: qsTr("Приём от БПЛА")
    }
    Label {
        id: rateFromAircraft
        Layout.fillWidth: true
        text: rate(health.rateFromAircraft) + qsTr(", записей: %1").arg(health.recordsAccepted)
    }

    Label {
        text: qsTr("Последние данные от БПЛА")
    }
    Label {
        id: lastFromAircraft
        Layout.fillWidth: true
        text: health.msSinceAircraft < 0 ? qsTr("не поступали")
                                         : qsTr("%1 с назад").arg((health.msSinceAircraft / 1000).toFixed(1))
    }

    Label {
        text: qsTr("Отклонено записей")
    }
    Label {
        id: refusedRecords
        Layout.fillWidth: true
        wrapMode: Text.WordWrap
        color: health.refusedMac > 0 ? warningColor : Material.foreground
        text: qsTr("неверный код: %1, повтор: %2, сверх лимита эпохи: %3, отражённых: %4")
              .arg(health.refusedMac).arg(health.refusedReplay).arg(health.refusedLimit)
              .arg(health.refusedReflected)
    }

    Label {
        text: qsTr("Отброшено кадров MAVLink")
    }
    Label {
        id: mavlinkDropped
        Layout.fillWidth: true
        text: health.mavlinkDropped
    }

    Label {
        text: qsTr("Эпоха ключей (передача / приём)")
    }
    Label {
        id: epochs
        Layout.fillWidth: true
        text: health.sendEpoch + " / " + health.receiveEpoch
    }

    Label {
        text: qsTr("До смены ключей")
    }
    Label {
        id: bytesBeforeRekey
        Layout.fillWidth: true
        text: qsTr("%1 байт").arg(health.bytesBeforeRekey)
    }

    Label {
        text: qsTr("Аутентификаций")
    }
    Label {
        id: handshakes
        Layout.fillWidth: true
        text: health.handshakes
    }

    Item {
        Layout.columnSpan: 2
        Layout.fillHeight: true
    }
}

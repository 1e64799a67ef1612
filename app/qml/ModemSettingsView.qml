import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import EncryptorSettings 1.0

ColumnLayout {
    property var viewModel: encryptorSettings

    EncryptorSettings {
        id: encryptorSettings
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 10
    }

    Button {
        Layout.fillWidth: true
        text: qsTr("Обновить список портов")
        onClicked: {
            enabled = false
            viewModel.update()
            enabled = true
        }
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 10
    }

    Label {
        Layout.fillWidth: true
        text: qsTr("Порт модема")
    }

    // Its choice stays local to this tab: the encryptor tab has a view-model of its own.
    ComboBox {
        id: deviceSerialPort
        Layout.fillWidth: true
        model: viewModel.outputPortList
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 10
    }

    Label {
        Layout.fillWidth: true
        text: qsTr("Идентификатор сети")
    }

    SpinBox {
        id: networkIdentifier
        Layout.fillWidth: true
        editable: true
        from: 0
        to: 255
        value: 1
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 10
    }

    Button {
        id: loadMasterKeyButton
        Layout.fillWidth: true
        text: qsTr("Применить настройки")
        enabled: !encryptorManager.encryptionEnabled && !encryptorManager.modemRoutineRunning
        onClicked: {
            // Off from the click on; the routine that the call starts keeps it off until the
            // last command has gone out.
            enabled = false
            encryptorManager.setNetworkId(deviceSerialPort.currentText, networkIdentifier.value)
            enabled = Qt.binding(function() {
                return !encryptorManager.encryptionEnabled && !encryptorManager.modemRoutineRunning
            })
        }
    }
}

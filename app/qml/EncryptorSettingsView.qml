import QtQuick 2.9
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import QtQuick.Dialogs 1.2
import EncryptorSettings 1.0

ColumnLayout {
    property var viewModel: encryptorSettings

    // The port that the ground-control program talks to: picked from the list on Windows,
    // offered by the utility itself as a virtual port on Linux.
    readonly property string groundControlPort: Qt.platform.os === "linux"
                                                ? viewModel.externalPort
                                                : viewModel.internalPort

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

    ComboBox {
        id: deviceSerialPort
        Layout.fillWidth: true
        model: viewModel.outputPortList
        onCurrentTextChanged: viewModel.outputPort = currentText
        Component.onCompleted: viewModel.outputPort = currentText
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 10
    }

    Loader {
        Layout.fillWidth: true
        sourceComponent: Qt.platform.os === "linux" ? unixExternalPort : winInternalPort
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 10
    }

    Button {
        Layout.fillWidth: true
        text: qsTr("Запустить шифратор")
        // Waits for the ground-control side port as well: without it the manager can only
        // fail through its error signal, which this window does not show.
        // Not while AT commands go to the modem either: a new start would have to wait for them.
        enabled: viewModel.outputPort !== "" && groundControlPort !== ""
                 && !encryptorManager.encryptionEnabled && !encryptorManager.modemRoutineRunning
        onClicked: encryptorManager.initialize(viewModel.internalPort, viewModel.externalPort,
                                               viewModel.outputPort)
    }

    Button {
        Layout.fillWidth: true
        text: qsTr("Остановить шифратор")
        enabled: encryptorManager.encryptionEnabled && !encryptorManager.modemRoutineRunning
        onClicked: encryptorManager.deinitialize()
    }

    Component {
        id: winInternalPort

        ColumnLayout {
            Label {
                Layout.fillWidth: true
                text: qsTr("Виртуальный COM-порт")
            }
            ComboBox {
                id: internalSerialPort
                Layout.fillWidth: true
                model: viewModel.outputPortList
                onCurrentTextChanged: viewModel.internalPort = currentText
                Component.onCompleted: viewModel.internalPort = currentText
            }
        }
    }

    Component {
        id: unixExternalPort

        ColumnLayout {
            Label {
                Layout.fillWidth: true
                text: qsTr("Внешний COM-порт")
            }
            TextField {
                id: softwareSerialPort
                Layout.fillWidth: true
                readOnly: true
                selectByMouse: true
                text: viewModel.externalPort
                // The utility itself offers this port; its name does not change while it runs.
                Component.onCompleted: viewModel.externalPort = encryptorManager.virtualPortPath
            }
        }
    }
}

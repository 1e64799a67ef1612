import QtQuick 2.9
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3

ApplicationWindow {
    id: mainWindow
    visible: true
    width: 640
    height: 550
    title: qsTr("Утилита настройки шифрования БПЛА")

    header: TabBar {
        id: tabBar
        currentIndex: swipeView.currentIndex

        TabButton {
            text: qsTr("Параметры шифратора")
        }
        TabButton {
            text: qsTr("Параметры модема")
        }
        TabButton {
            text: qsTr("Состояние канала")
        }
    }

    SwipeView {
        id: swipeView
        anchors.fill: parent
        clip: true
        interactive: false
        currentIndex: tabBar.currentIndex

        Item {
            EncryptorSettingsView {
                anchors.fill: parent
                anchors.margins: 20
            }
        }
        Item {
            ModemSettingsView {
                anchors.fill: parent
                anchors.margins: 20
            }
        }
        Item {
            LinkStatusView {
                anchors.fill: parent
                anchors.margins: 20
            }
        }
    }

    footer: Item {
        height: childrenRect.height

        Frame {
            anchors.left: parent.left
            anchors.right: connectionStatus.left
            padding: 5

            Label {
                id: statusBar
                width: parent.width
                text: ""
            }
        }

        Frame {
            id: connectionStatus
            anchors.right: parent.right
            width: 250
            padding: 5

            Row {
                anchors.centerIn: parent
                spacing: 3

                Label {
                    text: qsTr("Net ID:")
                }
                Label {
                    id: netIdLabel
                    text: "unknown"
                }
            }
        }
    }

    Connections {
        target: encryptorManager
        function onNotification(message) {
            statusBar.text = message
        }
    }

    Connections {
        target: encryptorManager
        function onNetIdChanged(netId) {
            netIdLabel.text = netId.toString()
        }
    }
}

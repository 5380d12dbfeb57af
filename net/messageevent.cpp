// The main window's message event, and what received messages change on
// screen: the console, the lobby's lists and fields, timers, engine, music.
#include "app/linklabel.h"
#include "app/startscreen.h"
#include "app/updown.h"
#include "platform/dxplay/dxplay.h"
#include "platform/gfx/gfxengine.h"
#include "platform/xaudio/xaudioplayer.h"
#include "race/racestate.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

void TFStart::DXPlayMessage(TDXPlayPlayer& from, const uint8_t* data, int size)
{
    if (!DXPlay->Opened()) return;
    if (spiel::GamePhase == spiel::PhaseLockedOut) {
        // Locked out, only the end of the running race is heard, and only
        // from the host.
        if (u_multiplayer::LetsBackIn(data, size) && u_multiplayer::FromSessionHost(from)) Unlock();
        return;
    }
    u_multiplayer::HandleMessage(from, data, size);
    HostTakeover();
}

void TFStart::Unlock()
{
    spiel::GamePhase = spiel::PhaseMenu;
    console->clear();
    console->appendPlainText("+++ Du kannste jetzt wieder mitspielen +++");
    lspieler->setText(QString::number(DXPlay->Players().size()));
    sendmessage->setEnabled(true);
    sendbutton->show();
    UpdatePlayerList(0);
}

void TFStart::ChatLine(const std::string& line) { console->appendPlainText(QString::fromStdString(line)); }

void TFStart::HostAnnounced(uint32_t hostId)
{
    HostId = hostId;
    UpdatePlayerList(0);
}

void TFStart::LobbyStatus(const std::string& laps) { Edit1->setText(QString::fromStdString(laps)); }

void TFStart::RaceAnnounced()
{
    Countdown = 8;
    starttimer->start();
    console->appendPlainText("");
    console->appendPlainText("ACHTUNG: Das Spiel beginnt in 8 Sekunden");
    console->appendPlainText("");
}

void TFStart::LockedOut()
{
    console->clear();
    console->appendPlainText(
        "Sorry, aber das Spiel hat bereits begonnen. Nimm an einem anderen Spiel teil oder "
        "warte, bis das aktuelle beendet wird.");
    ListBox1->clear();
    lspieler->setText("0");
    sendmessage->setEnabled(false);
    sendbutton->hide();
}

void TFStart::PlayerReady(const TDXPlayPlayer& sender)
{
    ReadyCount += 1;
    console->appendPlainText(QString::fromStdString(sender.Name) + " ist bereit!");
}

void TFStart::RaceBegins()
{
    RacerCount = ListBox1->count();
    Panel2->hide();
    if (gfxengine->IsFullScreenMode()) setCursor(Qt::BlankCursor);
}

void TFStart::RaceAborted()
{
    gfxengine->StopAll();
    spiel::GamePhase = spiel::PhaseMenu;
    console->clear();
    console->appendPlainText("Das Spiel wurde durch den Host vorzeitig beendet!");
    lspieler->setText(QString::number(DXPlay->Players().size()));
    FitOnScreen(QSize(640, 480));
    Panel2->move(0, 0);
    unsetCursor();
    if (DXPlay->IsHost()) llobbystarten->show();
    // The countdown locked the laps and the chat; an aborted race gives them
    // back as a finished one does.
    Countdown = 10;
    UpDown1->setEnabled(true);
    sendmessage->setEnabled(true);
    sendbutton->show();
    Panel2->show();
    XaudioPlayer1->Stop();
    UpdatePlayerList(0);
}

void TFStart::StartMusic()
{
    XaudioPlayer1->SetOutputVolume(-1, 0, -1);
    XaudioPlayer1->InputSeek(398, 10000);
    XaudioPlayer1->SetPlayerEnvironmentInteger("OUTPUT.DIRECTSOUND.WINDOW", static_cast<long>(winId()));
    XaudioPlayer1->Play();
}

// The start of a race between the programs: the host's start link with the
// random gate order, the eight-second countdown every program runs, the
// engine's start with the world, the host's wait for every "bereit" with
// the start grid and "los jetzt", and the end of the race with the results.
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <vector>

#include "app/linklabel.h"
#include "app/startscreen.h"
#include "app/updown.h"
#include "app/waitcursor.h"
#include "cars/move.h"
#include "platform/dxplay/dxplay.h"
#include "platform/gfx/gfxengine.h"
#include "platform/xaudio/xaudioplayer.h"
#include "race/racestate.h"
#include "race/spiel.h"

namespace {

using namespace u_multiplayer;

void SendCommand(const std::string& text, uint32_t toId, bool andItself)
{
    SendText(text, KindCommand, toId, andItself);
}

}  // namespace

void TFStart::llobbystartenClick()
{
    spiel::GamePhase = spiel::PhaseStartAnnounced;
    ReadyCount = 0;
    ReadyExpected = ListBox1->count();
    llobbystarten->hide();
    UpdateBotControls();
    SendCommand(std::string(CmdGo), 0, true);
    // Five draws without putting back: a uniformly random order.
    std::vector<int> left{0, 1, 2, 3, 4};
    std::string order;
    while (!left.empty()) {
        const size_t pick = size_t(std::rand()) % left.size();
        order += char('0' + left[pick]);
        left.erase(left.begin() + long(pick));
    }
    SendCommand(std::string(CmdTorliste) + order, 0, true);
}

void TFStart::starttimerTimer()
{
    Countdown -= 1;
    if (Countdown == 3 || Countdown == 2)
        console->appendPlainText("ACHTUNG: Das Spiel beginnt in " + QString::number(Countdown) + " Sekunden");
    if (Countdown == 1) console->appendPlainText("ACHTUNG: Das Spiel beginnt in 1 Sekunde");
    if (Countdown == 3) {
        UpDown1->setEnabled(false);
        sendmessage->setEnabled(false);
        sendbutton->hide();
    }
    if (Countdown != 0) return;

    starttimer->stop();
    console->appendPlainText("");
    console->appendPlainText("Das Spiel beginnt!");
    console->appendPlainText("Initialisiere Grafiken. Bitte warten...");
    spiel::FinishOrder.assign(1, 0);
    spiel::FinishTimes.assign(1, 0.0f);
    {
        WaitCursor wait;
        WorldSetupPending = 1;
        // The engine's start holds the event loop for a while: the world
        // setup inside answers the network between its steps, and this
        // after the last of them.
        gfxengine->StartAll();
        DXPlay->KeepAlive();
    }
    console->appendPlainText("Fertig! Warte auf Mitspieler...");
    console->appendPlainText("");
    spiel::ResetRaceGlobals();
    move::ResetDriving();
    if (DXPlay->IsHost()) {
        bereittimer->start();
        ReadyCount += 1;
    } else {
        SendCommand(std::string(CmdBereit), HostId, false);
    }
}

void TFStart::bereittimerTimer()
{
    if (ReadyCount < ReadyExpected) return;
    bereittimer->stop();
    // The grid in the order of the session's list, the host first.
    int i = 0;
    for (const TDXPlayPlayer* p : DXPlay->Players()) SendStartPosition(spiel::StartGridPosition(i++), p->ID);
    SendCommand(std::string(CmdLosJetzt), 0, true);
}

void TFStart::RaceEnded(uint32_t winnerId, const std::vector<spiel::TFinisher>& finishers)
{
    const bool host = DXPlay->IsHost();
    console->clear();
    console->appendPlainText(QString::fromStdString(SessionPlayerName(winnerId)) + " hat das Spiel gewonnen.");
    unsetCursor();
    lspieler->setText(QString::number(DXPlay->Players().size()));
    Countdown = 10;
    auto announceHost = [this] {
        SendLobbyStatus(0);
        SendCommand(std::string(CmdHost) + std::to_string(HostId), 0, false);
    };
    if (host) {
        llobbystarten->show();
        UpDown1->show();
        UpDown1->setEnabled(true);
        HostId = DXPlay->LocalPlayer()->ID;
        announceHost();
        UpdatePlayerList(0);
    }
    sendmessage->setEnabled(true);
    sendbutton->show();

    for (int k = 0; k < 10; ++k)
        for (QLabel* l : {ResultPlace[k], ResultName[k], ResultTime[k]}) l->hide();
    for (size_t k = 0; k < finishers.size() && k < ResultName.size(); ++k) {
        ResultName[k]->setText(QString::fromStdString(SessionPlayerName(finishers[k].Id)));
        ResultName[k]->show();
        ResultPlace[k]->show();
        ResultTime[k]->setText(QString::fromStdString(spiel::FormatRaceTime(finishers[k].Time)));
        ResultTime[k]->show();
    }
    gfxengine->StopAll();
    FitOnScreen(QSize(640, 480));
    Panel2->move(0, 0);
    Panel3->show();
    Panel3->raise();
    XaudioPlayer1->Stop();
    if (host) {
        SendCommand(std::string(CmdKannstMitspielen), 0, false);
        announceHost();
    }
}

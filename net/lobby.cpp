// The main window's side of the game: creating, finding and joining games,
// the lobby's controls, and the session's player and close events.
#include "app/application.h"
#include "app/linklabel.h"
#include "app/startscreen.h"
#include "app/updown.h"
#include "app/waitcursor.h"
#include "net/wiretext.h"
#include "platform/dxplay/dxplay.h"
#include "platform/gfx/gfxdevice.h"
#include "platform/gfx/gfxengine.h"
#include "race/racestate.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

namespace {

// The hourglass while a blocking session call runs; restored on every way
// out, an error included.

// Lets the page change be drawn before a blocking session call.
void LetPendingMessagesRun() { QCoreApplication::processEvents(); }

std::string Wire(const QString& text) { return u_multiplayer::Utf8ToWire(text.toStdString()); }

QString Name(const TDXPlayPlayer& p) { return QString::fromStdString(p.Name); }

}  // namespace

void TFStart::CreateSession()
{
    DXPlay = std::make_unique<TDXPlay>();
    GfxAfterSlowStep = [this] { DXPlay->KeepAlive(); };
    DXPlay->OnAddPlayer = [this](TDXPlayPlayer& p) { DXPlayAddPlayer(p); };
    DXPlay->OnDeletePlayer = [this](TDXPlayPlayer& p) { DXPlayDeletePlayer(p); };
    DXPlay->OnMessage = [this](TDXPlayPlayer& from, const uint8_t* data, int size) { DXPlayMessage(from, data, size); };
    DXPlay->OnClose = [this] { DXPlayClose(); };
    DXPlay->OnHandlerError = [](const std::exception& e) { ShowErrorBox(QString::fromUtf8(e.what())); };
    // A joiner handed the host role may hear nothing more from anyone (two
    // players, the host gone): the takeover does not wait for a message.
    DXPlay->OnHost = [this] { HostTakeover(); };
    DXPlay->OnAskAddress = [this](std::string& address) {
        bool ok = false;
        const QString text = QInputDialog::getText(
            this, QGuiApplication::applicationDisplayName(),
            "Adresse des Rechners, auf dem das Spiel läuft\n(leer lassen: im lokalen Netz suchen):", QLineEdit::Normal,
            {}, &ok);
        address = text.trimmed().toStdString();
        return ok;
    };
    u_multiplayer::AttachSession(DXPlay.get());
    u_multiplayer::MessageWindow = this;
}

bool TFStart::SetTCPIPProvider()
{
    for (const TDXPlayProvider& p : DXPlay->Providers()) {
        if (p.GUID == DPSPGUID_TCPIP) {
            DXPlay->SetProviderName(p.Name);
            return true;
        }
    }
    return false;
}

void TFStart::FillResComboBox()
{
    ResComboBox->clear();
    for (int i = 0; i < ComboBox3->count(); ++i) ResComboBox->addItem(ComboBox3->itemText(i));
    ResComboBox->setCurrentIndex(ComboBox3->currentIndex());
}

void TFStart::Label10Click()
{
    const QString player = nameedit->text().trimmed();
    if (player.isEmpty()) {
        ShowMessage("Du mußt schon einen Namen eingeben.");
        nameedit->setFocus();
        return;
    }
    const QString game = spieledit->text().trimmed();
    if (game.isEmpty()) {
        ShowMessage("Bitte einen Namen für das Spiel eingeben.");
        spieledit->setFocus();
        return;
    }
    if (!SetTCPIPProvider()) return;
    FillResComboBox();
    // The creator is the host: its lap control and start link show, even
    // after a failed join had hidden them.
    UpDown1->show();
    llobbystarten->show();

    Panel1->hide();
    Panel2->show();
    LetPendingMessagesRun();
    console->appendPlainText("Bitte warten, die Lobby wird initialisiert...");
    {
        WaitCursor wait;
        LetPendingMessagesRun();
        // The local player's add event starts the lobby.
        DXPlay->CreateSession(game.toStdString(), player.toStdString());
    }
    lname->setText(player);
    lsession->setText(game);
    sendbutton->show();
    sendmessage->setFocus();
}

void TFStart::joingameClick()
{
    sessionbox->clear();
    titel->setText("Einem Spiel beitreten");
    BringToFront(pjoingame);
    LetPendingMessagesRun();
    hint->setText("Suche nach Spielen, bitte warten...");
    SetTCPIPProvider();
    WaitCursor wait;
    DXPlay->GetSessions();
    for (const std::string& name : DXPlay->Sessions()) sessionbox->addItem(QString::fromStdString(name));
    if (sessionbox->count() > 0) sessionbox->setCurrentRow(0);
}

void TFStart::Label19Click()
{
    const QString player = Edit2->text().trimmed();
    if (player.isEmpty()) {
        ShowMessage("Du mußt schon einen Namen eingeben.");
        Edit2->setFocus();
        return;
    }
    if (sessionbox->count() == 0 || sessionbox->currentRow() < 0) return;
    const QString game = sessionbox->currentItem()->text();
    // A joining player is not the host.
    UpDown1->hide();
    llobbystarten->hide();
    FillResComboBox();

    Panel1->hide();
    Panel2->show();
    console->appendPlainText("Bitte warten, die Lobby wird initialisiert...");
    {
        WaitCursor wait;
        LetPendingMessagesRun();
        DXPlay->JoinSession(game.toStdString(), player.toStdString());
    }
    lname->setText(player);
    lsession->setText(game);
    sendbutton->show();
    sendmessage->setFocus();
}

void TFStart::UpdatePlayerList(uint32_t excludedId)
{
    UpdateBotControls();
    if (!DXPlay->Opened()) return;
    ListBox1->clear();
    for (const TDXPlayPlayer* p : DXPlay->Players()) {
        if (p->ID == excludedId) continue;
        ListBox1->addItem(p->ID == HostId ? "[HOST]" + Name(*p) : Name(*p));
    }
}

void TFStart::SendLobbyStatus(uint32_t toId)
{
    u_multiplayer::SendText(Wire(u_multiplayer::CmdLobbyStatus.data() + Edit1->text()), u_multiplayer::KindCommand,
                            toId, false);
}

void TFStart::sendbuttonClick()
{
    // The line goes out as typed; our own copy puts it into our console.
    if (!sendmessage->text().trimmed().isEmpty())
        u_multiplayer::SendText(Wire(sendmessage->text()), u_multiplayer::KindChat, 0, true);
    sendmessage->clear();
    sendmessage->setFocus();
}

void TFStart::Edit1Change()
{
    if (DXPlay->IsHost()) SendLobbyStatus(0);
}

void TFStart::ResComboBoxChange()
{
    // The graphics page's list carries the choice to the engine.
    ComboBox3->setCurrentIndex(ResComboBox->currentIndex());
}

void TFStart::llobbyabbrechenClick()
{
    beenden->setCursor(Qt::WaitCursor);  // its hint says "Bitte warten."
    {
        WaitCursor wait;
        sendbutton->hide();
        Panel2->hide();
        titel->setText("W I L L K O M M E N");
        BringToFront(seite1);
        Panel1->show();
        LetPendingMessagesRun();
        // The bots go before their host, so the game never hands them the host role.
        StopBots();
        DXPlay->Close();  // the close event resets the lobby
    }
    beenden->setCursor(Qt::PointingHandCursor);
    hint->clear();
}

void TFStart::DXPlayAddPlayer(TDXPlayPlayer& player)
{
    if (spiel::GamePhase == spiel::PhaseLockedOut) return;
    const bool host = DXPlay->IsHost();
    if (spiel::GamePhase != spiel::PhaseMenu) {
        if (host) u_multiplayer::SendText(u_multiplayer::CmdAbort, u_multiplayer::KindCommand, player.ID, false);
        return;
    }
    console->appendPlainText("+++ " + Name(player) + " betritt die Lobby und möchte mitzocken +++");
    lspieler->setText(QString::number(DXPlay->Players().size()));
    if (host) HostId = DXPlay->LocalPlayer()->ID;
    UpdatePlayerList(0);
    if (host) {
        SendLobbyStatus(player.ID);
        u_multiplayer::SendText(std::string(u_multiplayer::CmdHost) + std::to_string(HostId),
                                u_multiplayer::KindCommand, player.ID, false);
    }
}

void TFStart::DXPlayDeletePlayer(TDXPlayPlayer& player)
{
    // The leaver is still in the session's list while this runs.
    switch (spiel::GamePhase) {
        case spiel::PhaseRacing:
            RacerCount -= 1;
            spiel::PlayerLeft(player.ID);
            break;
        case spiel::PhaseMenu:
            console->appendPlainText("+++ " + Name(player) + " hat keinen Bock mehr und is wech +++");
            lspieler->setText(QString::number(DXPlay->Players().size() - 1));
            UpdatePlayerList(player.ID);
            break;
        case spiel::PhaseStartAnnounced:
            RacerCount -= 1;
            ReadyExpected -= 1;
            UpdatePlayerList(player.ID);
            break;
        case spiel::PhaseGraphicsReady:
            // Else the host would wait for its "bereit" for ever.
            ReadyExpected -= 1;
            UpdatePlayerList(player.ID);
            break;
        default:
            break;
    }
}

void TFStart::DXPlayClose()
{
    // The pages stay as they are: a session lost in the lobby leaves the
    // lobby empty until the player leaves it.
    WaitCursor wait;
    // A session lost during a race leaves the player in the lobby, as the
    // end of a race does.
    const bool inRace = spiel::GamePhase == spiel::PhaseGraphicsReady || spiel::GamePhase == spiel::PhaseRacing;
    spiel::GamePhase = spiel::PhaseMenu;
    gfxengine->StopAll();
    bereittimer->stop();
    StopBots();
    UpdateBotControls();
    if (inRace) {
        unsetCursor();
        Panel2->show();
    }
    console->clear();
    ListBox1->clear();
    sendmessage->clear();
    Edit1->setText("3");
    starttimer->stop();
    UpDown1->setEnabled(true);
    sendmessage->setEnabled(true);
    sendbutton->show();
    UpDown1->show();
    llobbystarten->show();
    Countdown = 10;
}

void TFStart::HostTakeover()
{
    // Only a joiner has its lap control hidden; a creator is host from the start.
    if (!DXPlay->IsHost() || !UpDown1->isHidden()) return;
    if (spiel::GamePhase == spiel::PhaseRacing) {
        u_multiplayer::SendText(u_multiplayer::CmdSpielAbbrechen, u_multiplayer::KindCommand, 0, false);
        // The new host comes back to the lobby as the others do.
        RaceAborted();
        console->clear();
        console->appendPlainText("Die Spiel wurde durch den Host vorzeitig beendet!");
        Countdown = 10;
    }
    if (Countdown > 8) llobbystarten->show();
    if (Countdown > 3) UpDown1->show();
    lspieler->setText(QString::number(DXPlay->Players().size()));
    console->appendPlainText("");
    console->appendPlainText("+++ ACHTUNG!! Der Host hat die Partie verlassen. +++");
    console->appendPlainText("+++ Neuer Host ist " + lname->text() + " +++");
    HostId = DXPlay->LocalPlayer()->ID;
    SendLobbyStatus(0);
    u_multiplayer::SendText(std::string(u_multiplayer::CmdHost) + std::to_string(HostId), u_multiplayer::KindCommand, 0,
                            false);
    UpdatePlayerList(0);
}

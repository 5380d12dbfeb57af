// The main window: the start screen with its pages, the lobby and the
// results, and the components that live longer than a race.
#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/u_multiplayer.h"
#include "race/spiel.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProcess;
class QPushButton;
class QTimer;
class TLinkLabel;
class TUpDown;
class TDXInput;
class TDXPlay;
struct TDXPlayPlayer;
class TGfxClipper;
class TGfxEngine;
class TGfxLight;
class TGfxSurface;
class TXaudioPlayer;
struct TGfxVideoMode;

// The program's directory with a trailing '/', set by FormCreate: where the
// data files are checked and the music lives. The
// engine's BaseDir is set from it.
extern QString BaseDir;
// Set just before the engine starts for a race: its after-start event then
// builds the world once.
extern uint8_t WorldSetupPending;

// The main window also carries out what received messages change on
// screen: it is the dispatcher's window.
class TFStart : public QWidget, public u_multiplayer::IMessageWindow, public spiel::IRaceEnd {
    Q_OBJECT
public:
    // baseDir: the program directory; empty = the running executable's.
    explicit TFStart(const QString& baseDir = {});
    ~TFStart() override;

    // Pages of the window.
    QWidget* Panel1 = nullptr;  // start screen
    QWidget* Panel2 = nullptr;  // lobby
    QWidget* Panel3 = nullptr;  // results
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Image3 = nullptr;

    // Start screen.
    QLabel* titel = nullptr;
    QLabel* hint = nullptr;
    TLinkLabel* beenden = nullptr;
    QWidget* seite1 = nullptr;
    QWidget* pnewgame = nullptr;
    QWidget* pjoingame = nullptr;
    QWidget* grafikseite = nullptr;
    QWidget* steuerseite = nullptr;

    // Main menu.
    TLinkLabel* grafikeinstellungen = nullptr;
    TLinkLabel* steuerung = nullptr;
    TLinkLabel* newgame = nullptr;
    TLinkLabel* joingame = nullptr;

    // New game.
    QLabel* Label5 = nullptr;
    QLineEdit* nameedit = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* spieledit = nullptr;
    QFrame* Shape1 = nullptr;
    TLinkLabel* Label9 = nullptr;
    TLinkLabel* Label10 = nullptr;
    QLabel* Label8 = nullptr;

    // Join game.
    QLabel* Label15 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QListWidget* sessionbox = nullptr;
    TLinkLabel* Label16 = nullptr;
    TLinkLabel* Label18 = nullptr;
    TLinkLabel* Label19 = nullptr;

    // Graphics settings.
    QLabel* Label1 = nullptr;
    QComboBox* ComboBox1 = nullptr;  // Direct3D devices
    QLabel* Label2 = nullptr;
    QComboBox* ComboBox2 = nullptr;  // display drivers
    QLabel* Label3 = nullptr;
    QComboBox* ComboBox3 = nullptr;  // display modes
    TLinkLabel* back1 = nullptr;
    QLabel* Label4 = nullptr;

    // Controls: per driving state (in DrivingStates' order: gas, brake,
    // left, right) its caption and its key, which a click lets the next key
    // press replace; the connected gamepad; the arrow keys back.
    std::array<QLabel*, 4> ActionCaption{};
    std::array<TLinkLabel*, 4> ActionKey{};
    QLabel* lgamepad = nullptr;
    QLabel* gamepadname = nullptr;
    QLabel* steuerhinweis = nullptr;
    TLinkLabel* standard = nullptr;
    TLinkLabel* back2 = nullptr;
    QTimer* gamepadtimer = nullptr;  // 500 ms while the page is in front

    // Lobby.
    QLabel* llobbyname = nullptr;
    QLabel* lname = nullptr;
    QLabel* llobbyspielname = nullptr;
    QLabel* lsession = nullptr;
    QLabel* llobbyres = nullptr;
    QComboBox* ResComboBox = nullptr;  // a copy of ComboBox3's modes
    QLabel* llobbycountrunden = nullptr;
    QLineEdit* Edit1 = nullptr;  // laps, 1 … 20, read-only
    TUpDown* UpDown1 = nullptr;
    QLabel* llobbyspieler = nullptr;
    QLabel* lspieler = nullptr;       // players in the session
    QListWidget* ListBox1 = nullptr;  // players, sorted
    QPlainTextEdit* console = nullptr;
    QLabel* llobbymessage = nullptr;
    QLineEdit* sendmessage = nullptr;
    QPushButton* sendbutton = nullptr;  // the default button: Enter sends
    TLinkLabel* llobbyabbrechen = nullptr;
    TLinkLabel* llobbystarten = nullptr;
    // The host's bots, in the lobby only.
    QWidget* botpanel = nullptr;
    TLinkLabel* lbothinzu = nullptr;
    TLinkLabel* lbotentfernen = nullptr;
    QComboBox* botskill = nullptr;

    // Results page: title, hint area, back link and the table of up to ten
    // finishers (place r1 … r10, name r1n …, time r1z …).
    QLabel* Label11 = nullptr;
    QLabel* hint2 = nullptr;
    TLinkLabel* Label7 = nullptr;
    QWidget* Panel4 = nullptr;
    std::array<QLabel*, 10> ResultPlace{}, ResultName{}, ResultTime{};

    // Non-visual components. The engine is a child of the window; its
    // companions go before it.
    TGfxEngine* gfxengine = nullptr;
    std::unique_ptr<TGfxClipper> GfxClipper1;
    std::unique_ptr<TGfxLight> Light1;
    std::unique_ptr<TGfxSurface> t_wasser, t_karte;
    std::unique_ptr<TDXInput> DXInput1;
    std::unique_ptr<TXaudioPlayer> XaudioPlayer1;
    std::unique_ptr<TDXPlay> DXPlay;
    QTimer* starttimer = nullptr;   // 1000 ms, lobby countdown
    QTimer* bereittimer = nullptr;  // 700 ms, host waits for ready reports

    // Navigation.
    void newgameClick();
    void grafikeinstellungenClick();
    void steuerungClick();
    void ActionKeyClick(int action);
    void standardClick();
    void gamepadtimerTimer();
    void joingameClick();
    void back1Click();
    void beendenClick();

    // Creating, finding and joining games; the lobby.
    void Label10Click();
    void Label19Click();
    void sendbuttonClick();
    void Edit1Change();
    void ResComboBoxChange();
    void llobbyabbrechenClick();
    void Label7Click();

    // The start of a race: the host's start link, the countdown, the host's
    // wait for every "bereit"; and the end of the race with its results.
    void llobbystartenClick();
    void lbothinzuClick();
    void lbotentfernenClick();
    // Ends every bot this program started; they leave the session first.
    void StopBots();
    void starttimerTimer();
    void bereittimerTimer();
    void RaceEnded(uint32_t winnerId, const std::vector<spiel::TFinisher>& finishers) override;
    // Refills the player list from the session, leaving out excludedId.
    void UpdatePlayerList(uint32_t excludedId);
    // "lobbystatus:" + the laps to toId (0 = all), not to itself.
    void SendLobbyStatus(uint32_t toId);

    // Session events.
    void DXPlayMessage(TDXPlayPlayer& from, const uint8_t* data, int size);
    void DXPlayAddPlayer(TDXPlayPlayer& player);
    void DXPlayDeletePlayer(TDXPlayPlayer& player);
    void DXPlayClose();

    // Escape during a race: the host ends it for all, a client leaves.
    void FormKeyDown(int key);

    // What received messages change on screen.
    void ChatLine(const std::string& line) override;
    void HostAnnounced(uint32_t hostId) override;
    void LobbyStatus(const std::string& laps) override;
    void RaceAnnounced() override;
    void LockedOut() override;
    void PlayerReady(const TDXPlayPlayer& sender) override;
    void RaceBegins() override;
    void RaceAborted() override;
    void StartMusic() override;

    // Display-mode filter: refuses 8- and 24-bit modes and modes under
    // 640 × 480; any other mode keeps the preset answer.
    static void AcceptVideoMode(int width, int height, int bitsPerPixel, bool& accept);
    void gfxengineAcceptVideoMode(TGfxEngine* sender, const TGfxVideoMode& mode, bool& accept);
    // The engine's events around a race.
    void gfxengineBeforeStart();
    void gfxengineAfterStart();
    void gfxengineAfterStop();
    void gfxengineIdle(bool& done);
    // The client area at that size, centred on the screen.
    void FitOnScreen(QSize clientSize);

    // Shows a message box with an OK button (the game's own checks).
    void ShowMessage(const QString& text);

    // The music reached a new state; at the end of its input (3) it loops
    // during a race and is rewound otherwise.
    void XaudioPlayer1NotifyPlayerState(TXaudioPlayer& sender, int state);

    // Session-related fields of the start handshake.
    uint32_t HostId = 0;
    int32_t Countdown = 10;
    int32_t ReadyExpected = 0;
    int32_t ReadyCount = 0;
    int32_t RacerCount = 0;

    // True when FormCreate found every data file and completed.
    bool CreateCompleted() const { return createCompleted_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FormCreate();
    void CreatePages();
    void CreateStartScreen();
    void CreateMainMenu();
    void CreateNewGamePage();
    void CreateJoinGamePage();
    void CreateGraphicsPage();
    void CreateControlsPage();
    // Shows each driving state's key; ends a wait for a key press.
    void ShowKeys();
    // The key press that a click on a driving state waits for.
    bool ActionKeyEvent(QEvent* event);
    // Keeps the key table for the next start; a failure is shown.
    void SaveKeys();
    void CreateLobbyAndResultsPages();
    void CreateLobbyPage();
    void CreateResultsPage();
    // Shows one of the start screen's four sub-pages in front.
    void BringToFront(QWidget* subPage);
    void CreateSession();
    // Chooses the TCP/IP provider; false when the layer offers none.
    bool SetTCPIPProvider();
    // Copies the graphics page's modes into the lobby's list.
    void FillResComboBox();
    // A joiner handed the host role takes it over.
    void HostTakeover();
    void UpdateBotControls();
    QString FreeBotName() const;
    std::vector<QProcess*> Bots;
    // A locked-out player is let back into the lobby.
    void Unlock();
    void CreateGraphicsComponents();
    // The race's hooks: driving, HUD, frame, and the engine's events.
    void ConnectRace();
    void FormShow();
    void LoadBackgrounds();
    void PrepareMusic();
    // Runs a music operation; the player's errors go to the error box.
    template <class Operation>
    void Music(Operation operation);
    void FormClose();
    void WatchHints();
    // Puts text into the hint area, or empties it ("" only if not yet empty).
    void SetHint(const QString& text);
    QString HintFor(QObject* element) const;

    QString baseDirOverride_;
    bool createCompleted_ = false;
    bool shown_ = false;
    int keyAwaited_ = -1;  // the driving state whose new key is awaited, -1 = none
};

// The main window: the start screen with its pages, the lobby and the
// results, and the components that live longer than a race.
#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QTimer;
class TLinkLabel;
class TDXInput;
class TGfxClipper;
class TGfxEngine;
class TGfxLight;
class TGfxSurface;
class TXaudioPlayer;
struct TGfxVideoMode;

// The program directory with a trailing '/'; set by FormCreate.
extern QString BaseDir;

class TFStart : public QWidget {
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

    // Main menu.
    TLinkLabel* grafikeinstellungen = nullptr;
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

    // Results page hint area (the page itself is filled at the end of a race).
    QLabel* hint2 = nullptr;

    // Non-visual components. The engine is a child of the window; its
    // companions go before it.
    TGfxEngine* gfxengine = nullptr;
    std::unique_ptr<TGfxClipper> GfxClipper1;
    std::unique_ptr<TGfxLight> Light1;
    std::unique_ptr<TGfxSurface> t_wasser, t_karte;
    std::unique_ptr<TDXInput> DXInput1;
    std::unique_ptr<TXaudioPlayer> XaudioPlayer1;
    QTimer* starttimer = nullptr;   // 1000 ms, lobby countdown
    QTimer* bereittimer = nullptr;  // 700 ms, host waits for ready reports

    // Navigation.
    void newgameClick();
    void grafikeinstellungenClick();
    void joingameClick();
    void back1Click();
    void beendenClick();

    // Display-mode filter: refuses 8- and 24-bit modes and modes under
    // 640 × 480; any other mode keeps the preset answer.
    static void AcceptVideoMode(int width, int height, int bitsPerPixel, bool& accept);
    void gfxengineAcceptVideoMode(TGfxEngine* sender, const TGfxVideoMode& mode, bool& accept);

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
    void CreateLobbyAndResultsPages();
    void CreateGraphicsComponents();
    void ConnectDriving();
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
};

#include "app/startscreen.h"

#include "app/datafiles.h"
#include "app/linklabel.h"
#include "cars/autopilot.h"
#include "cars/move.h"
#include "platform/dxinput/dxinput.h"
#include "platform/dxinput/keyassigns.h"
#include "platform/dxplay/dxplay.h"
#include "platform/gfx/gfxdevice.h"
#include "platform/gfx/gfxengine.h"
#include "platform/xaudio/xaudio_api.h"
#include "platform/xaudio/xaudioplayer.h"
#include "race/hud.h"
#include "race/raceframe.h"
#include "race/racestate.h"
#include "race/render.h"
#include "race/setupworld.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>

#include <cstdlib>

QString BaseDir;

namespace {

const QColor WindowColour(65, 114, 180);

}  // namespace

TFStart::TFStart(const QString& baseDir) : baseDirOverride_(baseDir)
{
    setObjectName("FStart");
    // Fixed single border: system menu and minimise button only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle("Dunebolt - Wüstenrennen für bis zu zehn Spieler");
    setFixedSize(640, 480);

    QFont font;
    font.setFamilies({"Verdana", "DejaVu Sans", "Bitstream Vera Sans", "sans-serif"});
    font.setPixelSize(13);
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, WindowColour);
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }

    CreatePages();
    CreateGraphicsComponents();

    DXInput1 = std::make_unique<TDXInput>(this);
    // The player's keys from the last start (the arrows when none were
    // chosen), and any gamepad plugged in drives beside the keyboard.
    DXInput1->Keyboard.Assigns = ReadKeyAssigns(KeyAssignsPath());
    DXInput1->Joystick.Enabled = true;
    XaudioPlayer1 = std::make_unique<TXaudioPlayer>();
    XaudioPlayer1->OnNotifyPlayerState = [this](TXaudioPlayer& sender, int state) {
        XaudioPlayer1NotifyPlayerState(sender, state);
    };
    ConnectRace();
    CreateSession();
    // Escape reaches the window whichever child has the focus.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] { FormKeyDown(Qt::Key_Escape); });

    starttimer = new QTimer(this);
    starttimer->setObjectName("starttimer");
    starttimer->setInterval(1000);
    bereittimer = new QTimer(this);
    bereittimer->setObjectName("bereittimer");
    bereittimer->setInterval(700);
    connect(starttimer, &QTimer::timeout, this, &TFStart::starttimerTimer);
    connect(bereittimer, &QTimer::timeout, this, &TFStart::bereittimerTimer);

    FormCreate();
}

TFStart::~TFStart()
{
    u_multiplayer::MessageWindow = nullptr;
    u_multiplayer::DetachSession();
    GfxAfterSlowStep = nullptr;
    move::DriveHooks = {};
    move::OnViewMatrix = nullptr;
    spiel::RaceFrameHooks = {};
    spiel::HudHooks = {};
    render::WaterSurface = render::GroundSurface = nullptr;
    // The world's textures belong to the engine, which goes with the window.
    spiel::ReleaseWorld();
}

void TFStart::ConnectRace()
{
    render::WaterSurface = t_wasser.get();
    render::GroundSurface = t_karte.get();
    spiel::HudHooks.PlayerName = [](uint32_t id) { return u_multiplayer::SessionPlayerName(id); };
    // The fades set only the PCM level; a player that cannot play has said
    // so when the music was prepared.
    spiel::HudHooks.SetMusicLevel = [this](int level) {
        try {
            XaudioPlayer1->SetOutputVolume(-1, level, -1);
        } catch (const EXaudioError&) {
        }
    };
    spiel::RaceFrameHooks.HostId = [this] { return HostId; };
    spiel::RaceFrameHooks.RacerCount = [this] { return RacerCount; };
    spiel::RaceFrameHooks.Laps = [this] { return Edit1->text().toInt(); };
    spiel::RaceFrameHooks.Draw = [] {
        render::RenderFrame();
        spiel::DrawHud();
    };
    spiel::RaceFrameHooks.Present = [this] { gfxengine->Present(); };
    spiel::RaceFrameHooks.RaceEnd = this;
    move::DriveHooks.IsHost = [] { return u_multiplayer::SessionIsHost(); };
    gfxengine->OnBeforeStart = [this](TGfxEngine*) { gfxengineBeforeStart(); };
    gfxengine->OnAfterStart = [this](TGfxEngine*) { gfxengineAfterStart(); };
    gfxengine->OnAfterStop = [this](TGfxEngine*) { gfxengineAfterStop(); };
    gfxengine->OnIdle = [this](TGfxEngine*, bool& done) { gfxengineIdle(done); };

    // The driving step reads the four driving states of this frame from the
    // input component; the chase camera's view goes to the running engine.
    move::DriveHooks.ReadControls = [this] {
        DXInput1->UpdateStates();
        const TDXInputStates& down = DXInput1->ActiveStates;
        return move::TControls{down[StateUp], down[StateDown], down[StateLeft], down[StateRight]};
    };
    // DUNEBOLT_AUTOPILOT=1: the autopilot drives instead of the keyboard.
    if (qEnvironmentVariableIntValue("DUNEBOLT_AUTOPILOT") != 0)
        move::DriveHooks.ReadControls = [] { return autopilot::DriveLocalCar(spiel::FrameTime); };
    move::OnViewMatrix = [this](const D3DMATRIX& view) {
        if (gfxengine->Active()) gfxengine->Device()->SetTransform(D3DTRANSFORMSTATE_VIEW, view);
    };
}

void TFStart::CreateGraphicsComponents()
{
    gfxengine = new TGfxEngine(this);
    gfxengine->setObjectName("gfxengine");
    gfxengine->ComboBoxD3DDevices = ComboBox1;
    gfxengine->ComboBoxDrivers = ComboBox2;
    gfxengine->ComboBoxVideoModes = ComboBox3;
    gfxengine->PathImages = "images/";
    gfxengine->Path3DxFiles = "3dobjects/";
    gfxengine->OnAcceptVideoMode = [this](TGfxEngine* sender, const TGfxVideoMode& mode, bool& accept) {
        gfxengineAcceptVideoMode(sender, mode, accept);
    };

    GfxClipper1 = std::make_unique<TGfxClipper>(*gfxengine, this);
    Light1 = std::make_unique<TGfxLight>(*gfxengine, this);
    Light1->LightIndex = 0;
    Light1->LightType = D3DLIGHT_DIRECTIONAL;
    Light1->DirectionX = 1, Light1->DirectionY = -1, Light1->DirectionZ = 0;
    Light1->DiffuseColor = 0x80889B;
    Light1->SpecularColor = 0xAA8000;
    Light1->AmbientColor = 0x4F4F4F;
    Light1->Range = 1.8439088998879068e+18f;
    Light1->LightOn = true;

    auto mipMaps = [this](std::vector<std::string> images) {
        auto surface = std::make_unique<TGfxSurface>(*gfxengine, this);
        surface->SurfaceType = dxstMipMaps;
        surface->Images = std::move(images);
        surface->AutoStart = true;
        surface->ColorKey = 0;
        surface->ImageIndex = 0;
        surface->SurfaceDimension = sdFromFile;
        return surface;
    };
    t_wasser = mipMaps({"wasser.bmp", "wasser2.bmp", "wasser3.bmp", "wasser4.bmp", "wasser5.bmp"});
    t_karte = mipMaps({"boden1.bmp", "boden2.bmp", "boden3.bmp"});

    // The settings are in place: the engine fills the graphics page's lists.
    gfxengine->Loaded();
}

void TFStart::gfxengineAcceptVideoMode(TGfxEngine*, const TGfxVideoMode& mode, bool& accept)
{
    AcceptVideoMode(mode.Width, mode.Height, mode.BitsPerPixel, accept);
}

void TFStart::ShowMessage(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, this);
    box.exec();
}

void TFStart::FormCreate()
{
    // The only later user of the random numbers is the host's gate order.
    std::srand(unsigned(QDateTime::currentMSecsSinceEpoch()));

    BaseDir = ProgramDirectoryOf(QCoreApplication::applicationFilePath());
    if (!baseDirOverride_.isEmpty())
        BaseDir = baseDirOverride_.endsWith('/') ? baseDirOverride_ : baseDirOverride_ + '/';
    gfxengine->BaseDir = BaseDir.toStdString();

    if (FirstMissingDataFile(BaseDir) >= 0) {
        ShowMessage("Hier es sind nicht alle Files da, also check das nochmal ab!");
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
        return;
    }

    LoadBackgrounds();
    PrepareMusic();
    BringToFront(seite1);

    HostId = 0;
    spiel::GamePhase = spiel::PhaseMenu;
    Countdown = 10;
    createCompleted_ = true;
}

void TFStart::LoadBackgrounds()
{
    // A picture that is there but cannot be read is reported; the window
    // goes on with its plain background colour.
    auto picture = [this](const QString& file) {
        QPixmap pixmap;
        if (!pixmap.load(BaseDir + file)) ShowMessage("Das Bild " + file + " lässt sich nicht lesen.");
        return pixmap;
    };
    const QPixmap menu = picture("images/mainmenu.bmp");
    Image1->setPixmap(menu);
    Image2->setPixmap(picture("images/lobby.bmp"));
    Image3->setPixmap(menu);
}

template <class Operation>
void TFStart::Music(Operation operation)
{
    try {
        operation(*XaudioPlayer1);
    } catch (const EXaudioError& e) {
        ShowMessage(QString::fromStdString(e.what()));
    }
}

void TFStart::PrepareMusic()
{
    // The music modules lie beside the program, with the data.
    XaudioPlayer1->Directory = BaseDir.chopped(1).toStdString();
    Music([](TXaudioPlayer& music) {
        music.OutputModuleRegister("xa_dsound_output.dll");
        music.SetOutputName("/dev/dsound/0");
        music.InputOpen((BaseDir + "musik/musik.mp3").toStdString());
    });
}

void TFStart::XaudioPlayer1NotifyPlayerState(TXaudioPlayer&, int state)
{
    if (state != XA_PLAYER_STATE_EOF) return;
    Music([](TXaudioPlayer& music) {
        if (spiel::GamePhase == spiel::PhaseRacing) {
            music.InputSeek(425, 10000);  // loops from just past the beginning
            music.Play();
        } else {
            music.InputSeek(0, 1);
        }
    });
}

void TFStart::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!shown_ && !event->spontaneous()) {
        shown_ = true;
        FormShow();
    }
}

void TFStart::FormShow()
{
    // A second device (hardware beside the software renderer) is preferred:
    // selecting it runs the list's own change handler, as a player's choice.
    if (ComboBox1->count() >= 2) ComboBox1->setCurrentIndex(1);
}

void TFStart::closeEvent(QCloseEvent* event)
{
    FormClose();
    QWidget::closeEvent(event);
}

void TFStart::FormClose()
{
    // The session's close event runs while the window goes away.
    Music([](TXaudioPlayer& music) { music.Stop(); });
    gfxengine->StopAll();
    StopBots();
    DXPlay->Close();
}

void TFStart::FormKeyDown(int key)
{
    if (key != Qt::Key_Escape || spiel::GamePhase != spiel::PhaseRacing) return;
    if (!DXPlay->IsHost()) {
        close();
        return;
    }
    // Our own copy ends the race here as on every machine.
    using namespace u_multiplayer;
    SendText(CmdSpielAbbrechen, KindCommand, 0, true);
    SendLobbyStatus(0);
    SendText(std::string(CmdHost) + std::to_string(HostId), KindCommand, 0, false);
}

void TFStart::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    if (gfxengine != nullptr && gfxengine->Active()) gfxengine->UpdateOutputRects();
}

void TFStart::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // A windowed engine renders at the window's size: start it again.
    if (gfxengine != nullptr && gfxengine->Active() && !gfxengine->IsFullScreenMode()) {
        try {
            gfxengine->StopAll();
            gfxengine->UpdateOutputRects();
            gfxengine->StartAll();
        } catch (const std::exception& e) {
            gfxengine->HandleException(e);
        }
    }
}

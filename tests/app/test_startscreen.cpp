// The main window's start screen: creation, pages, navigation and hints.
#include "app/datafiles.h"
#include "app/linklabel.h"
#include "app/startscreen.h"
#include "cars/move.h"
#include "platform/dxinput/dxinput.h"
#include "platform/dxinput/keyassigns.h"
#include "platform/dxplay/dxplay.h"
#include "platform/gfx/gfxengine.h"
#include "platform/xaudio/xaudioplayer.h"
#include "race/racestate.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstring>

// Readable Qt strings in failure messages.
void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

// A program directory with every required file; the backgrounds are real
// pictures so that loading them can be checked.
class ProgramDirectory {
public:
    ProgramDirectory()
    {
        for (const QString& file : RequiredDataFiles()) {
            const QString path = tmp_.path() + "/" + file;
            QDir().mkpath(QFileInfo(path).path());
            QFile(path).open(QIODevice::WriteOnly);
        }
        for (const char* module : {"xaudio.dll", "xa_dsound_output.dll"}) {
            QFile::remove(Path(module));
            QFile::copy(QString(DUNEBOLT_BIN_DIR) + "/" + module, Path(module));
        }
        for (auto [file, colour] :
             {std::pair{"images/mainmenu.bmp", Qt::red}, std::pair{"images/lobby.bmp", Qt::blue}}) {
            QImage picture(640, 480, QImage::Format_RGB32);
            picture.fill(colour);
            picture.save(Path(file));
        }
    }
    QString Path(const QString& file = {}) const { return tmp_.path() + "/" + file; }

private:
    QTemporaryDir tmp_;
};

// Sends a hover (mouse move, no button) to a widget, as the pointer does.
void Hover(QWidget* w)
{
    const QPointF at(1, 1);
    QMouseEvent move(QEvent::MouseMove, at, w->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

// The sub-page that is seen: the last of the four among its siblings.
QWidget* FrontSubPage(TFStart& w)
{
    const QList<QWidget*> pages = {w.seite1, w.pnewgame, w.pjoingame, w.grafikseite, w.steuerseite};
    QWidget* front = nullptr;
    for (QObject* child : w.Panel1->children())
        if (pages.contains(qobject_cast<QWidget*>(child))) front = static_cast<QWidget*>(child);
    return front;
}

// Answers every message box with OK while it lives, keeping their texts.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer()
    {
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts.append(box->text());
                box->accept();
            }
        });
        poll_.start(10);
    }
    QStringList texts;

private:
    QTimer poll_;
};

// Presses or releases keys on the X server (XTEST).
bool Xdotool(const QStringList& args) { return QProcess::execute("xdotool", args) == 0; }

}  // namespace

TEST(StartScreen, CreatedWithAllFilesItShowsTheWelcomePageAndLinksBringPagesForward)
{
    ProgramDirectory dir;
    TFStart w(dir.Path());
    ASSERT_TRUE(w.CreateCompleted());
    EXPECT_EQ(FrontSubPage(w), w.seite1);
    // Backgrounds: the start and results pages share the menu picture.
    EXPECT_EQ(w.Image1->pixmap().toImage().pixelColor(5, 5), QColor(Qt::red));
    EXPECT_EQ(w.Image2->pixmap().toImage().pixelColor(5, 5), QColor(Qt::blue));
    EXPECT_EQ(w.Image3->pixmap().toImage().pixelColor(5, 5), QColor(Qt::red));
    // Names are sent in records of fixed size: the edits hold no more.
    EXPECT_EQ(std::make_tuple(w.nameedit->maxLength(), w.Edit2->maxLength(), w.spieledit->maxLength()),
              std::make_tuple(10, 10, 20));

    const std::tuple<TLinkLabel*, QWidget*, const char*, TLinkLabel*> steps[] = {
        {w.newgame, w.pnewgame, "Neues Spiel starten", w.Label9},
        {w.grafikeinstellungen, w.grafikseite, "Grafikeinstellungen", w.back1},
        {w.joingame, w.pjoingame, "Einem Spiel beitreten", w.Label18},
        {w.steuerung, w.steuerseite, "Steuerung", w.back2},
    };
    for (const auto& [link, page, title, back] : steps) {
        emit link->clicked();
        EXPECT_EQ(FrontSubPage(w), page) << title;
        EXPECT_EQ(w.titel->text(), title);
        Hover(back);
        EXPECT_EQ(w.hint->text(), "Zurück zum Hauptmenü.");
        emit back->clicked();
        EXPECT_EQ(FrontSubPage(w), w.seite1);
        EXPECT_TRUE(w.hint->text().isEmpty()) << title;
        EXPECT_EQ(w.titel->text(), "W I L L K O M M E N");
    }
}

TEST(StartScreen, HintsFollowThePointer)
{
    ProgramDirectory dir;
    TFStart w(dir.Path());
    // Each element shows its own hint (a word of it is enough to tell them apart).
    const std::pair<QWidget*, QString> hints[] = {{w.newgame, "Sie sind der Host."},
                                                  {w.nameedit, "Spitznamen"},
                                                  {w.Edit2, "Spitznamen"},
                                                  {w.sessionbox, "Zur Zeit 0"}};
    for (const auto& [element, text] : hints) {
        Hover(element);
        EXPECT_TRUE(w.hint->text().contains(text)) << element->objectName().toStdString();
        Hover(w.seite1);  // the panels empty the hint
        EXPECT_TRUE(w.hint->text().isEmpty());
    }

    // The game list's hint counts its entries.
    w.sessionbox->addItem("Wüste");
    w.sessionbox->addItem("Dünen");
    Hover(w.sessionbox->viewport());
    EXPECT_TRUE(w.hint->text().endsWith("Zur Zeit 2"));

    // While the lobby is being left the quit link asks to wait.
    w.beenden->setCursor(Qt::WaitCursor);
    Hover(w.beenden);
    EXPECT_EQ(w.hint->text(), "Bitte warten.");

    // The background empties both hint areas.
    w.hint2->setText("x");
    Hover(w.Image1);
    EXPECT_TRUE(w.hint->text().isEmpty());
    EXPECT_TRUE(w.hint2->text().isEmpty());
}

TEST(StartScreen, AKeyChosenOnTheControlsPageDrivesTheCarAndStaysForTheNextStart)
{
    ProgramDirectory dir;
    auto press = [](QWidget* field, Qt::Key key) {
        QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(field, &e);
    };
    {
        TFStart w(dir.Path());
        emit w.steuerung->clicked();
        EXPECT_EQ(w.ActionKey[0]->text(), "Pfeil hoch");
        EXPECT_EQ(w.gamepadname->text(), "Kein Gamepad verbunden");

        // Gas takes W; Escape leaves Bremse as it was; Links takes the down
        // arrow, which Bremse gives up for the left arrow.
        emit w.ActionKey[0]->clicked();
        EXPECT_EQ(w.ActionKey[0]->text(), "Taste drücken …");
        press(w.ActionKey[0], Qt::Key_W);
        emit w.ActionKey[1]->clicked();
        press(w.ActionKey[1], Qt::Key_Escape);
        emit w.ActionKey[2]->clicked();
        press(w.ActionKey[2], Qt::Key_Down);
        QStringList shown;
        for (QLabel* key : w.ActionKey) shown << key->text();
        EXPECT_EQ(shown, QStringList({"W", "Pfeil links", "Pfeil runter", "Pfeil rechts"}));

        // Real keys on the X server drive as the page says.
        const std::pair<QString, move::TControls> keys[] = {
            {"w", {.Up = true}}, {"Down", {.Left = true}}, {"Left", {.Down = true}}, {"Up", {}}};
        for (const auto& [key, expected] : keys) {
            ASSERT_TRUE(Xdotool({"keydown", key}));
            const move::TControls held = move::DriveHooks.ReadControls();
            Xdotool({"keyup", key});
            EXPECT_EQ(std::tie(held.Up, held.Down, held.Left, held.Right),
                      std::tie(expected.Up, expected.Down, expected.Left, expected.Right))
                << key.toStdString();
        }
    }
    TFStart next(dir.Path());
    emit next.steuerung->clicked();
    EXPECT_EQ(next.ActionKey[0]->text(), "W");
    EXPECT_EQ(next.DXInput1->Keyboard.Assigns[StateLeft][0], VK_DOWN);
    emit next.standard->clicked();
    EXPECT_EQ(ReadKeyAssigns(KeyAssignsPath()), GameKeyAssigns());
    EXPECT_EQ(next.ActionKey[2]->text(), "Pfeil links");
}

TEST(StartScreen, GraphicsPageListsComeFromTheEngine)
{
    ProgramDirectory dir;
    TFStart w(dir.Path());
    // The lists are the engine's; the window's filter decided the modes.
    ASSERT_GE(w.ComboBox1->count(), 1);
    EXPECT_EQ(w.ComboBox1->count(), int(w.gfxengine->D3DDevices().size()));
    EXPECT_EQ(w.ComboBox2->count(), int(w.gfxengine->Drivers().size()));
    ASSERT_EQ(w.ComboBox3->count(), int(w.gfxengine->VideoModes().size()));
    EXPECT_EQ(w.ComboBox3->itemText(0), "Windowed");
    for (const TGfxVideoMode& m : w.gfxengine->VideoModes()) {
        bool offered = true;
        TFStart::AcceptVideoMode(m.Width, m.Height, m.BitsPerPixel, offered);
        EXPECT_TRUE(offered) << m.Width << "x" << m.Height << "x" << m.BitsPerPixel;
    }
    // The filter: no 8- or 24-bit modes, nothing under 640 × 480; a mode
    // refused before stays refused.
    const std::tuple<int, int, int, bool, bool> modes[] = {
        {640, 480, 16, true, true},   {640, 480, 32, true, true},   {800, 600, 24, true, false},
        {512, 384, 32, true, false},  {640, 479, 32, true, false},  {639, 480, 32, true, false},
        {1024, 768, 8, true, false},  {1920, 1080, 32, true, true}, {1024, 768, 15, true, true},
        {800, 600, 32, false, false},
    };
    for (auto [width, height, bits, before, offered] : modes) {
        TFStart::AcceptVideoMode(width, height, bits, before);
        EXPECT_EQ(before, offered) << width << "x" << height << "x" << bits;
    }

    // With one device, showing the window leaves the engine's selection; a
    // second device would be taken as if the player had chosen it.
    const int devices = w.ComboBox1->count();
    w.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.isVisible(); }));
    EXPECT_EQ(w.gfxengine->SelectedD3DDevice(), devices >= 2 ? 1 : 0);
}

TEST(StartScreen, WithTheRealDataTheEngineStartsAndDrivingFeedsIt)
{
    MessageBoxAnswerer answers;
    TFStart w(DUNEBOLT_BIN_DIR);
    ASSERT_TRUE(w.CreateCompleted());
    // The generated pictures become the window's textures.
    w.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.isVisible(); }));
    w.gfxengine->StartAll();
    ASSERT_TRUE(w.gfxengine->Active()) << w.gfxengine->LastErrorText();
    // The windowed entry renders at its own size (the desktop's), the window
    // grown to it; back at 640 × 480 once the engine stops.
    const TGfxVideoMode& windowed = w.gfxengine->VideoModes()[size_t(w.gfxengine->SelectedVideoMode())];
    ASSERT_EQ(windowed.Windowed, 1);
    EXPECT_EQ(w.gfxengine->RenderSize(), QSize(windowed.Width, windowed.Height));
    EXPECT_EQ(w.size(), QSize(windowed.Width, windowed.Height));
    EXPECT_TRUE(w.t_wasser->Active() && w.t_karte->Active() && w.Light1->Active() && w.GfxClipper1->Active());

    // The chase camera's view becomes the running engine's view transform.
    for (int i = 0; i < 20; ++i)
        move::UpdateCamera(TranslateMatrix(300, 0, -900), {300, 0, -900}, 0.05, [](float, float, D3DVECTOR* n) {
            if (n) *n = {0, 1, 0};
            return 0.0f;
        });
    D3DMATRIX view{};
    ASSERT_EQ(w.gfxengine->Device()->GetTransform(D3DTRANSFORMSTATE_VIEW, view), D3D_OK);
    EXPECT_EQ(std::memcmp(&view, &move::ViewMatrix, sizeof view), 0);
    EXPECT_NE(view._43, 0.0f);

    // A full-screen mode covers the screen and renders at its own size;
    // stopped, the window is 640 × 480 again.
    w.gfxengine->StopAll();
    EXPECT_EQ(w.size(), QSize(640, 480));
    const auto& modes = w.gfxengine->VideoModes();
    const auto mode800 = std::find_if(modes.begin(), modes.end(), [](const TGfxVideoMode& m) {
        return !m.Windowed && m.Width == 800 && m.Height == 600 && m.BitsPerPixel == 32;
    });
    ASSERT_NE(mode800, modes.end());
    w.gfxengine->SetSelectedVideoMode(int(mode800 - modes.begin()));
    w.gfxengine->StartAll();
    QApplication::processEvents();
    EXPECT_EQ(w.gfxengine->RenderSize(), QSize(800, 600));
    EXPECT_EQ(w.geometry(), w.screen()->geometry());
    EXPECT_EQ(w.gfxengine->View()->size(), w.screen()->geometry().size());
    // In full screen losing the focus stops the engine, regaining it starts
    // it; another mode chosen while it runs restarts it in that mode.
    w.gfxengine->ApplicationDeactivated();
    EXPECT_FALSE(w.gfxengine->Active());
    w.gfxengine->ApplicationActivated();
    EXPECT_TRUE(w.gfxengine->Active());
    w.gfxengine->SetSelectedVideoMode(int(mode800 - modes.begin()) - 1);  // 800 x 600 x 16 comes just before
    EXPECT_TRUE(w.gfxengine->Active());
    EXPECT_EQ(w.gfxengine->VideoModes()[size_t(w.gfxengine->SelectedVideoMode())].BitsPerPixel, 16);
    w.gfxengine->StopAll();
    EXPECT_EQ(w.size(), QSize(640, 480));
    w.gfxengine->SetSelectedVideoMode(0);
    w.gfxengine->StartAll();

    // Moving the window keeps the engine running; closing it stops the
    // engine with the music.
    w.move(w.pos() + QPoint(8, 8));
    QApplication::processEvents();
    EXPECT_TRUE(w.gfxengine->Active());
    w.close();
    EXPECT_FALSE(w.gfxengine->Active());
    EXPECT_FALSE(w.t_wasser->Active());
    EXPECT_EQ(w.size(), QSize(640, 480));
    EXPECT_TRUE(answers.texts.isEmpty()) << answers.texts.join("|").toStdString();
}

TEST(StartScreen, EachMissingFileEndsTheProgramWithTheMessageAndUnreadableOnesAreOnlyReported)
{
    ProgramDirectory dir;
    for (const QString& file : RequiredDataFiles()) {
        const QString kept = dir.Path(file + ".kept");
        ASSERT_TRUE(QFile::rename(dir.Path(file), kept)) << file.toStdString();
        // A folder of the file's name does not stand in for it.
        if (file == "images/leer.bmp") ASSERT_TRUE(QDir().mkpath(dir.Path(file)));
        MessageBoxAnswerer answer;
        TFStart w(dir.Path());
        EXPECT_EQ(answer.texts, QStringList{"Hier es sind nicht alle Files da, also check das nochmal ab!"})
            << file.toStdString();
        EXPECT_FALSE(w.CreateCompleted()) << file.toStdString();
        EXPECT_TRUE(w.Image1->pixmap().isNull());  // the rest of the creation was skipped
        QDir().rmdir(dir.Path(file));
        ASSERT_TRUE(QFile::rename(kept, dir.Path(file)));
    }
    // The quit requests wait in the event loop: running it ends at once.
    QTimer::singleShot(5000, [] { QApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);

    // A picture that cannot be read and a music library that cannot be
    // loaded are each reported, and the start page still comes.
    for (const char* file : {"images/lobby.bmp", "xaudio.dll"}) {
        QFile bad(dir.Path(file));
        ASSERT_TRUE(bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
        bad.write("BM this is not a bitmap");
    }
    MessageBoxAnswerer answers;
    TFStart w(dir.Path());
    EXPECT_TRUE(w.CreateCompleted());
    ASSERT_GE(answers.texts.size(), 2);
    EXPECT_EQ(answers.texts.mid(0, 2), QStringList({"Das Bild images/lobby.bmp lässt sich nicht lesen.",
                                                    "Cannot Load Xaudio DLL (xaudio.dll)"}));
    EXPECT_TRUE(w.Image2->pixmap().isNull());
    EXPECT_FALSE(w.Image1->pixmap().isNull());
}

TEST(StartScreen, MusicIsPreparedSilentAndLoopsOnlyDuringARace)
{
    ProgramDirectory dir;
    QFile::remove(dir.Path("musik/musik.mp3"));
    ASSERT_TRUE(QFile::copy(QString(DUNEBOLT_BIN_DIR) + "/musik/musik.mp3", dir.Path("musik/musik.mp3")));
    MessageBoxAnswerer answer;
    spiel::GamePhase = 0;
    TFStart w(dir.Path());
    ASSERT_TRUE(w.CreateCompleted());

    // Follow the player's states and positions beside the window's handler.
    QList<int> states;
    QList<double> positions;
    auto windowHandler = w.XaudioPlayer1->OnNotifyPlayerState;
    w.XaudioPlayer1->OnNotifyPlayerState = [&](TXaudioPlayer& sender, int state) {
        states.append(state);
        windowHandler(sender, state);
    };
    w.XaudioPlayer1->OnNotifyInputPosition = [&](TXaudioPlayer&, int64_t frame, int64_t length) {
        if (length > 0) positions.append(double(frame) / double(length));
    };

    // Prepared at start-up, nothing plays.
    QTest::qWait(500);
    EXPECT_FALSE(states.contains(1));

    // The end of the input during a race: again from 4.25 %, playing.
    spiel::GamePhase = spiel::PhaseRacing;
    w.XaudioPlayer1NotifyPlayerState(*w.XaudioPlayer1, 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.contains(1) && !positions.isEmpty(); }, 10000));
    EXPECT_NEAR(positions.last(), 0.0425, 0.002);

    // Near its end it plays to the real end and loops by itself.
    states.clear();
    positions.clear();
    w.XaudioPlayer1->InputSeek(99, 100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.contains(3) && states.lastIndexOf(1) > states.indexOf(3); }, 8000))
        << states.size();
    EXPECT_TRUE(std::any_of(positions.begin(), positions.end(), [](double p) { return std::abs(p - 0.0425) < 0.002; }));

    // Outside a race the end only rewinds.
    spiel::GamePhase = spiel::PhaseMenu;
    states.clear();
    positions.clear();
    w.XaudioPlayer1->InputSeek(99, 100);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return states.contains(3) && !positions.isEmpty() && positions.last() == 0.0; }, 8000));
    QTest::qWait(300);
    EXPECT_FALSE(states.mid(states.indexOf(3)).contains(1));
    EXPECT_TRUE(answer.texts.isEmpty()) << answer.texts.join("|").toStdString();
}

TEST(StartScreen, APlayerLeavingWhileTheHostWaitsForReadyIsNotWaitedFor)
{
    MessageBoxAnswerer answers;
    TFStart w(DUNEBOLT_BIN_DIR);
    ASSERT_TRUE(w.CreateCompleted());
    w.nameedit->setText("Tom");
    w.spieledit->setText("Warten");
    w.Label10Click();
    ASSERT_TRUE(w.DXPlay->IsHost());
    // Graphics ready, the host counted itself, one joiner's "bereit" still
    // to come when that joiner leaves.
    spiel::GamePhase = spiel::PhaseGraphicsReady;
    std::tie(w.ReadyExpected, w.ReadyCount) = std::make_tuple(2, 1);
    TDXPlayPlayer gone{4242, "Eva", true};
    w.DXPlayDeletePlayer(gone);
    EXPECT_EQ(w.ReadyExpected, 1);
    w.bereittimerTimer();
    EXPECT_EQ(spiel::GamePhase, spiel::PhaseRacing) << "\"los jetzt\" sent";
    spiel::GamePhase = spiel::PhaseMenu;
    EXPECT_TRUE(answers.texts.isEmpty()) << answers.texts.join("|").toStdString();
}

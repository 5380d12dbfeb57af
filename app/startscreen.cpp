#include "app/startscreen.h"

#include "app/datafiles.h"
#include "app/linklabel.h"
#include "platform/dxinput/dxinput.h"
#include "platform/xaudio/xaudioplayer.h"
#include "race/racestate.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
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

    DXInput1 = std::make_unique<TDXInput>(this);
    XaudioPlayer1 = std::make_unique<TXaudioPlayer>();
    XaudioPlayer1->OnNotifyPlayerState = [this](TXaudioPlayer& sender, int state) {
        XaudioPlayer1NotifyPlayerState(sender, state);
    };
    starttimer = new QTimer(this);
    starttimer->setObjectName("starttimer");
    starttimer->setInterval(1000);
    bereittimer = new QTimer(this);
    bereittimer->setObjectName("bereittimer");
    bereittimer->setInterval(700);

    FormCreate();
}

TFStart::~TFStart() = default;

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

    if (FirstMissingDataFile(BaseDir) >= 0) {
        ShowMessage("Hier es sind nicht alle Files da, also check das nochmal ab!");
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
        return;
    }

    LoadBackgrounds();
    PrepareMusic();
    seite1->raise();

    HostId = 0;
    spiel::GamePhase = 0;
    Countdown = 10;
    createCompleted_ = true;
}

void TFStart::LoadBackgrounds()
{
    const QPixmap menu(BaseDir + "images/mainmenu.bmp");
    Image1->setPixmap(menu);
    Image2->setPixmap(QPixmap(BaseDir + "images/lobby.bmp"));
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
    if (state != 3)
        return;
    Music([](TXaudioPlayer& music) {
        if (spiel::GamePhase == spiel::PhaseRacing) {
            music.InputSeek(425, 10000);  // loops from just past the beginning
            music.Play();
        } else {
            music.InputSeek(0, 1);
        }
    });
}

void TFStart::closeEvent(QCloseEvent* event)
{
    FormClose();
    QWidget::closeEvent(event);
}

void TFStart::FormClose()
{
    Music([](TXaudioPlayer& music) { music.Stop(); });
}

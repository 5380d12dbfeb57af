// The start screen's pages, the navigation between them and the hints.
#include "app/linklabel.h"
#include "app/startscreen.h"
#include "app/updown.h"
#include "platform/dxinput/keyassigns.h"

#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>

#include <algorithm>

namespace {

const QColor FieldColour(62, 108, 172);
const QColor AwaitingColour(86, 132, 194);  // a key field waiting for its key
const QColor LightGreen(0, 255, 0);
const QColor Yellow(255, 255, 0);
const QString CrLf = "\r\n";

void SetTextColour(QWidget* w, const QColor& colour)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, colour);
    w->setPalette(pal);
}

void SetPixelSize(QWidget* w, int pixels)
{
    QFont font = w->font();
    font.setPixelSize(pixels);
    w->setFont(font);
}

QWidget* MakePanel(const char* name, QWidget* parent, const QRect& geometry)
{
    auto* panel = new QWidget(parent);
    panel->setObjectName(name);
    panel->setGeometry(geometry);
    panel->setAutoFillBackground(true);
    return panel;
}

template <class Label>
Label* MakeLabel(const char* name, const QString& text, QWidget* parent, QPoint at, const QColor& colour = Qt::white)
{
    auto* label = new Label(text, parent);
    label->setObjectName(name);
    SetTextColour(label, colour);
    label->move(at);
    label->adjustSize();
    return label;
}

QLineEdit* MakeField(const char* name, QWidget* parent, const QRect& geometry, int maxLength)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setGeometry(geometry);
    edit->setMaxLength(maxLength);
    edit->setFrame(false);
    QPalette pal = edit->palette();
    pal.setColor(QPalette::Base, FieldColour);
    pal.setColor(QPalette::Text, Qt::white);
    edit->setPalette(pal);
    return edit;
}

QComboBox* MakeCombo(const char* name, QWidget* parent, const QRect& geometry)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->setGeometry(geometry);
    return combo;
}

// A key as the player knows it from the keyboard's labels.
QString KeyName(int32_t vk)
{
    if ((vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9')) return QString(QChar(vk));
    if (vk >= VK_F1 && vk < VK_F1 + 12) return "F" + QString::number(vk - VK_F1 + 1);
    if (vk >= VK_NUMPAD0 && vk < VK_NUMPAD0 + 10) return "Num " + QString::number(vk - VK_NUMPAD0);
    static const std::pair<int32_t, const char*> names[] = {
        {VK_UP, "Pfeil hoch"},     {VK_DOWN, "Pfeil runter"}, {VK_LEFT, "Pfeil links"}, {VK_RIGHT, "Pfeil rechts"},
        {VK_SPACE, "Leertaste"},   {VK_BACK, "Rücktaste"},    {VK_TAB, "Tab"},          {VK_RETURN, "Eingabe"},
        {VK_SHIFT, "Umschalt"},    {VK_CONTROL, "Strg"},      {VK_MENU, "Alt"},         {VK_PAUSE, "Pause"},
        {VK_CAPITAL, "Feststell"}, {VK_PRIOR, "Bild hoch"},   {VK_NEXT, "Bild runter"}, {VK_END, "Ende"},
        {VK_HOME, "Pos 1"},        {VK_INSERT, "Einfg"},      {VK_DELETE, "Entf"}};
    for (const auto& [code, name] : names)
        if (code == vk) return QString::fromUtf8(name);
    return "Taste " + QString::number(vk);
}

}  // namespace

void TFStart::CreatePages()
{
    CreateStartScreen();
    CreateMainMenu();
    CreateNewGamePage();
    CreateJoinGamePage();
    CreateGraphicsPage();
    CreateControlsPage();
    CreateLobbyAndResultsPages();
    WatchHints();
}

void TFStart::CreateStartScreen()
{
    Panel1 = MakePanel("Panel1", this, QRect(0, 0, 640, 480));
    Image1 = new QLabel(Panel1);
    Image1->setObjectName("Image1");
    Image1->setGeometry(0, 0, 640, 480);

    titel = MakeLabel<QLabel>("titel", "W I L L K O M M E N", Panel1, QPoint(240, 122));
    SetPixelSize(titel, 22);
    titel->adjustSize();  // room for the descenders at the larger size
    titel->setFixedWidth(400);

    hint = new QLabel(Panel1);
    hint->setObjectName("hint");
    hint->setGeometry(24, 296, 177, 113);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetTextColour(hint, Qt::white);
    SetPixelSize(hint, 11);

    beenden = MakeLabel<TLinkLabel>("beenden", "Dunebolt Beenden", Panel1, QPoint(24, 435));
    SetPixelSize(beenden, 12);
    beenden->adjustSize();
    connect(beenden, &TLinkLabel::clicked, this, &TFStart::beendenClick);

    seite1 = MakePanel("seite1", Panel1, QRect(240, 176, 353, 233));
    pnewgame = MakePanel("pnewgame", Panel1, QRect(232, 176, 353, 233));
    pjoingame = MakePanel("pjoingame", Panel1, QRect(240, 176, 353, 233));
    grafikseite = MakePanel("grafikseite", Panel1, QRect(240, 176, 353, 233));
    steuerseite = MakePanel("steuerseite", Panel1, QRect(240, 176, 353, 233));
    // The sub-pages lie on the field the start picture draws for them: only
    // the one in front is shown, so they need no background of their own.
    for (QWidget* page : {seite1, pnewgame, pjoingame, grafikseite, steuerseite}) page->setAutoFillBackground(false);
}

void TFStart::CreateMainMenu()
{
    auto item = [this](const char* name, const QString& text, int y, const QColor& colour) {
        auto* link = MakeLabel<TLinkLabel>(name, text, seite1, QPoint(16, y), colour);
        SetPixelSize(link, 15);
        link->adjustSize();
        return link;
    };
    grafikeinstellungen = item("grafikeinstellungen", "Grafikeinstellungen", 48, LightGreen);
    steuerung = item("steuerung", "Steuerung", 72, LightGreen);
    newgame = item("newgame", "Neues Spiel starten", 120, Yellow);
    joingame = item("joingame", "Einem Spiel beitreten", 144, Yellow);
    connect(grafikeinstellungen, &TLinkLabel::clicked, this, &TFStart::grafikeinstellungenClick);
    connect(steuerung, &TLinkLabel::clicked, this, &TFStart::steuerungClick);
    connect(newgame, &TLinkLabel::clicked, this, &TFStart::newgameClick);
    connect(joingame, &TLinkLabel::clicked, this, &TFStart::joingameClick);
}

void TFStart::CreateNewGamePage()
{
    Label5 = MakeLabel<QLabel>("Label5", "Dein Name:", pnewgame, QPoint(16, 18), Yellow);
    nameedit = MakeField("nameedit", pnewgame, QRect(120, 16, 217, 20), 10);
    Label6 = MakeLabel<QLabel>("Label6", "Spielname:", pnewgame, QPoint(16, 48), Yellow);
    spieledit = MakeField("spieledit", pnewgame, QRect(120, 46, 217, 20), 20);

    Label8 = new QLabel("Bitte gib deinen Spitzname und den Spielnamen ein." + CrLf + CrLf +
                            "Du gelangst danach in die Lobby, wo du auf andere Spieler warten kannst.",
                        pnewgame);
    Label8->setObjectName("Label8");
    Label8->setGeometry(16, 88, 321, 90);
    Label8->setWordWrap(true);
    Label8->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Shape1 = new QFrame(pnewgame);
    Shape1->setObjectName("Shape1");
    Shape1->setGeometry(16, 196, 321, 1);
    Shape1->setAutoFillBackground(true);
    QPalette line = Shape1->palette();
    line.setColor(QPalette::Window, Yellow);
    Shape1->setPalette(line);

    Label9 = MakeLabel<TLinkLabel>("Label9", "<< Zurück", pnewgame, QPoint(16, 206));
    Label10 = MakeLabel<TLinkLabel>("Label10", "Weiter >>", pnewgame, QPoint(0, 206));
    Label10->move(337 - Label10->width(), 206);
    connect(Label9, &TLinkLabel::clicked, this, &TFStart::back1Click);
    connect(Label10, &TLinkLabel::clicked, this, &TFStart::Label10Click);
}

void TFStart::CreateJoinGamePage()
{
    Label15 = MakeLabel<QLabel>("Label15", "Dein Name:", pjoingame, QPoint(8, 12), Yellow);
    Edit2 = MakeField("Edit2", pjoingame, QRect(100, 10, 245, 20), 10);

    sessionbox = new QListWidget(pjoingame);
    sessionbox->setObjectName("sessionbox");
    sessionbox->setGeometry(8, 40, 337, 161);
    sessionbox->setFrameShape(QFrame::NoFrame);
    QPalette pal = sessionbox->palette();
    pal.setColor(QPalette::Base, FieldColour);
    pal.setColor(QPalette::Text, Qt::white);
    sessionbox->setPalette(pal);

    Label16 = MakeLabel<TLinkLabel>("Label16", "Liste aktualisieren", pjoingame, QPoint(8, 210));
    Label18 = MakeLabel<TLinkLabel>("Label18", "<< Zurück", pjoingame, QPoint(170, 210));
    Label19 = MakeLabel<TLinkLabel>("Label19", "Weiter >>", pjoingame, QPoint(0, 210));
    Label19->move(345 - Label19->width(), 210);
    connect(Label16, &TLinkLabel::clicked, this, &TFStart::joingameClick);
    connect(Label18, &TLinkLabel::clicked, this, &TFStart::back1Click);
    connect(Label19, &TLinkLabel::clicked, this, &TFStart::Label19Click);
}

void TFStart::CreateGraphicsPage()
{
    // Each list under its label, across the page, so the renderer's whole
    // name shows; a drop-down of at most seven rows stays inside the window.
    auto list = [this](const char* label, const QString& text, const char* name, int y, QLabel*& caption) {
        caption = MakeLabel<QLabel>(label, text, grafikseite, QPoint(16, y), Yellow);
        QComboBox* combo = MakeCombo(name, grafikseite, QRect(16, y + 18, 321, 22));
        combo->setStyleSheet("QComboBox { combobox-popup: 0; }");
        combo->setMaxVisibleItems(7);
        SetPixelSize(combo, 11);
        return combo;
    };
    ComboBox1 = list("Label1", "D3D Device:", "ComboBox1", 8, Label1);
    ComboBox2 = list("Label2", "Anzeigentreiber:", "ComboBox2", 52, Label2);
    ComboBox3 = list("Label3", "Auflösung:", "ComboBox3", 96, Label3);

    Label4 = new QLabel("Hinweis:" + CrLf + "RGB Emulation = Software Rendern (langsam)" + CrLf +
                            "Direct3D HAL = Hardware Rendern über Grafikkarte (sehr schnell)",
                        grafikseite);
    Label4->setObjectName("Label4");
    Label4->setGeometry(16, 144, 321, 56);
    Label4->setWordWrap(true);
    Label4->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetPixelSize(Label4, 11);

    back1 = MakeLabel<TLinkLabel>("back1", "<< Zurück", grafikseite, QPoint(16, 206));
    connect(back1, &TLinkLabel::clicked, this, &TFStart::back1Click);
}

void TFStart::CreateControlsPage()
{
    const char* captions[] = {"Gas:", "Bremse:", "Links:", "Rechts:"};
    const char* names[] = {"gas", "bremse", "links", "rechts"};
    for (int k = 0; k < 4; ++k) {
        const int y = 8 + 26 * k;
        const QByteArray name = names[k];
        ActionCaption[k] =
            MakeLabel<QLabel>(("l" + name).constData(), captions[k], steuerseite, QPoint(16, y + 3), Yellow);
        // A field like the name fields; it takes the focus so that the key
        // pressed after a click reaches it.
        auto* key = new TLinkLabel({}, steuerseite);
        key->setObjectName("taste" + name);
        key->setGeometry(120, y, 217, 22);
        key->setIndent(4);
        key->setAutoFillBackground(true);
        key->setFocusPolicy(Qt::ClickFocus);
        connect(key, &TLinkLabel::clicked, this, [this, k] { ActionKeyClick(k); });
        ActionKey[k] = key;
    }

    lgamepad = MakeLabel<QLabel>("lgamepad", "Gamepad:", steuerseite, QPoint(16, 122), Yellow);
    gamepadname = MakeLabel<QLabel>("gamepadname", "Kein Gamepad verbunden", steuerseite, QPoint(120, 122));
    gamepadname->setFixedWidth(217);

    steuerhinweis = new QLabel("Hinweis:" + CrLf + "Klicke auf eine Aktion und drücke die neue Taste." + CrLf +
                                   "Gamepad: linker Stick oder Steuerkreuz lenkt, rechter Trigger oder A gibt Gas, "
                                   "linker Trigger oder B bremst.",
                               steuerseite);
    steuerhinweis->setObjectName("steuerhinweis");
    steuerhinweis->setGeometry(16, 146, 321, 56);
    steuerhinweis->setWordWrap(true);
    steuerhinweis->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetPixelSize(steuerhinweis, 11);

    back2 = MakeLabel<TLinkLabel>("back2", "<< Zurück", steuerseite, QPoint(16, 206));
    standard = MakeLabel<TLinkLabel>("standard", "Standard", steuerseite, QPoint(0, 206));
    standard->move(337 - standard->width(), 206);
    connect(back2, &TLinkLabel::clicked, this, &TFStart::back1Click);
    connect(standard, &TLinkLabel::clicked, this, &TFStart::standardClick);

    gamepadtimer = new QTimer(this);
    gamepadtimer->setObjectName("gamepadtimer");
    gamepadtimer->setInterval(500);
    connect(gamepadtimer, &QTimer::timeout, this, &TFStart::gamepadtimerTimer);
}

void TFStart::ShowKeys()
{
    keyAwaited_ = -1;
    for (size_t k = 0; k < ActionKey.size(); ++k) {
        ActionKey[k]->setText(KeyName(DXInput1->Keyboard.Assigns[DrivingStates[k]][0]));
        QPalette pal = ActionKey[k]->palette();
        pal.setColor(QPalette::Window, FieldColour);
        pal.setColor(QPalette::WindowText, Qt::white);
        ActionKey[k]->setPalette(pal);
    }
}

void TFStart::ActionKeyClick(int action)
{
    ShowKeys();
    keyAwaited_ = action;
    TLinkLabel* key = ActionKey[size_t(action)];
    key->setText("Taste drücken …");
    QPalette pal = key->palette();
    pal.setColor(QPalette::Window, AwaitingColour);
    pal.setColor(QPalette::WindowText, Yellow);
    key->setPalette(pal);
    key->setFocus(Qt::MouseFocusReason);
}

bool TFStart::ActionKeyEvent(QEvent* event)
{
    if (keyAwaited_ < 0) return false;
    if (event->type() == QEvent::FocusOut) {
        ShowKeys();  // clicked elsewhere: the key stays
        return false;
    }
    // Escape belongs to the race (it ends or leaves it): it only cancels here,
    // before the window's shortcut takes it.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    if (event->type() != QEvent::KeyPress) return false;
    const auto* press = static_cast<QKeyEvent*>(event);
    if (press->isAutoRepeat()) return true;
    const int32_t vk = VirtualKeyFromQtKey(press->key(), press->modifiers() & Qt::KeypadModifier);
    if (vk != 0 && vk != VK_ESCAPE) {
        AssignKey(DXInput1->Keyboard.Assigns, DrivingStates[size_t(keyAwaited_)], vk);
        SaveKeys();
    }
    ShowKeys();
    return true;
}

void TFStart::SaveKeys()
{
    std::string error;
    if (!WriteKeyAssigns(KeyAssignsPath(), DXInput1->Keyboard.Assigns, error))
        ShowMessage("Die Tasten lassen sich nicht speichern: " + QString::fromStdString(error));
}

void TFStart::standardClick()
{
    DXInput1->Keyboard.Assigns = GameKeyAssigns();
    SaveKeys();
    ShowKeys();
}

void TFStart::gamepadtimerTimer()
{
    const std::string name = DXInput1->GamepadName();
    gamepadname->setText(name.empty() ? QString("Kein Gamepad verbunden") : QString::fromStdString(name));
}

void TFStart::CreateLobbyAndResultsPages()
{
    Panel2 = MakePanel("Panel2", this, QRect(0, 0, 640, 480));
    Image2 = new QLabel(Panel2);
    Image2->setObjectName("Image2");
    Image2->setGeometry(0, 0, 640, 480);
    CreateLobbyPage();
    Panel2->hide();

    Panel3 = MakePanel("Panel3", this, QRect(0, 0, 640, 480));
    Image3 = new QLabel(Panel3);
    Image3->setObjectName("Image3");
    Image3->setGeometry(0, 0, 640, 480);
    hint2 = new QLabel(Panel3);
    hint2->setObjectName("hint2");
    hint2->setGeometry(24, 296, 177, 113);
    hint2->setWordWrap(true);
    hint2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetTextColour(hint2, Qt::white);
    SetPixelSize(hint2, 11);
    CreateResultsPage();
    Panel3->hide();
}

void TFStart::CreateResultsPage()
{
    Label11 = MakeLabel<QLabel>("Label11", "Die Resultate", Panel3, QPoint(240, 122));
    SetPixelSize(Label11, 22);
    Label11->adjustSize();
    Label7 = MakeLabel<TLinkLabel>("Label7", "<< Zur Lobby zurück", Panel3, QPoint(24, 435));
    SetPixelSize(Label7, 12);
    Label7->adjustSize();
    connect(Label7, &TLinkLabel::clicked, this, &TFStart::Label7Click);

    // The table lies on the field the picture draws for it.
    Panel4 = MakePanel("Panel4", Panel3, QRect(240, 176, 353, 233));
    Panel4->setAutoFillBackground(false);
    MakeLabel<QLabel>("Label12", "Platz", Panel4, QPoint(16, 16), Yellow);
    MakeLabel<QLabel>("Label13", "Spieler", Panel4, QPoint(80, 16), Yellow);
    MakeLabel<QLabel>("Label14", "Zeit (min:sek)", Panel4, QPoint(248, 16), Yellow);
    for (int k = 1; k <= 10; ++k) {
        const int y = 48 + 16 * (k - 1);
        const QByteArray r = "r" + QByteArray::number(k);
        ResultPlace[k - 1] = MakeLabel<QLabel>(r.constData(), QString::number(k) + ".", Panel4, QPoint(24, y));
        ResultName[k - 1] = MakeLabel<QLabel>((r + "n").constData(), "", Panel4, QPoint(80, y));
        ResultTime[k - 1] = MakeLabel<QLabel>((r + "z").constData(), "", Panel4, QPoint(248, y));
        ResultName[k - 1]->setFixedWidth(160);
        ResultTime[k - 1]->setFixedWidth(90);
    }
}

void TFStart::Label7Click()
{
    Panel2->show();
    Panel3->hide();
}

void TFStart::CreateLobbyPage()
{
    // The night picture shows through the lobby's boxes.
    Panel2->setStyleSheet(
        "QPlainTextEdit, QListWidget, QLineEdit, QComboBox {"
        " background: rgba(8, 16, 40, 205); color: white;"
        " border: 1px solid rgba(150, 175, 230, 120); border-radius: 3px; }"
        "QPlainTextEdit, QListWidget { padding: 3px; }"
        "QPushButton { background: rgba(40, 70, 130, 220); color: white;"
        " border: 1px solid rgba(150, 175, 230, 160); border-radius: 3px; padding: 2px 10px; }"
        "QPushButton:pressed { background: rgba(70, 110, 180, 230); }"
        "QToolButton { background: rgba(40, 70, 130, 220); border: 1px solid rgba(150, 175, 230, 160); }");

    llobbyname = MakeLabel<QLabel>("llobbyname", "Dein Name:", Panel2, QPoint(16, 18), Yellow);
    lname = MakeLabel<QLabel>("lname", "", Panel2, QPoint(136, 18));
    lname->setFixedWidth(240);
    llobbyspielname = MakeLabel<QLabel>("llobbyspielname", "Der Spielname:", Panel2, QPoint(16, 42), Yellow);
    lsession = MakeLabel<QLabel>("lsession", "", Panel2, QPoint(136, 42));
    lsession->setFixedWidth(240);

    llobbyres = MakeLabel<QLabel>("llobbyres", "Auflösung ändern:", Panel2, QPoint(432, 18), Yellow);
    ResComboBox = MakeCombo("ResComboBox", Panel2, QRect(432, 40, 192, 22));
    connect(ResComboBox, &QComboBox::activated, this, &TFStart::ResComboBoxChange);

    console = new QPlainTextEdit(Panel2);
    console->setObjectName("console");
    console->setGeometry(16, 76, 400, 292);
    console->setReadOnly(true);
    console->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    console->setFocusPolicy(Qt::NoFocus);
    SetPixelSize(console, 12);  // an announcement with a long name fits one line

    llobbyspieler = MakeLabel<QLabel>("llobbyspieler", "Spieler:", Panel2, QPoint(432, 78), Yellow);
    lspieler = MakeLabel<QLabel>("lspieler", "0", Panel2, QPoint(500, 78));
    lspieler->setFixedWidth(40);
    ListBox1 = new QListWidget(Panel2);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setGeometry(432, 100, 192, 176);
    ListBox1->setSortingEnabled(true);
    ListBox1->setFocusPolicy(Qt::NoFocus);

    llobbycountrunden = MakeLabel<QLabel>("llobbycountrunden", "Anzahl Runden:", Panel2, QPoint(432, 294), Yellow);
    Edit1 = MakeField("Edit1", Panel2, QRect(560, 291, 44, 22), 2);
    Edit1->setReadOnly(true);
    Edit1->setAlignment(Qt::AlignCenter);
    Edit1->setText("3");
    UpDown1 = new TUpDown(Edit1, 1, 20, Panel2);
    UpDown1->setObjectName("UpDown1");
    UpDown1->setGeometry(606, 291, 18, 22);
    connect(Edit1, &QLineEdit::textChanged, this, &TFStart::Edit1Change);

    llobbystarten = MakeLabel<TLinkLabel>("llobbystarten", "Das Spiel starten >>", Panel2, QPoint(432, 340), Yellow);
    SetPixelSize(llobbystarten, 15);
    llobbystarten->adjustSize();
    connect(llobbystarten, &TLinkLabel::clicked, this, &TFStart::llobbystartenClick);

    // Bots fill a game when friends are few.
    botpanel = new QWidget(Panel2);
    botpanel->setObjectName("botpanel");
    botpanel->setGeometry(432, 374, 192, 56);
    lbothinzu = MakeLabel<TLinkLabel>("lbothinzu", "Bot hinzufügen", botpanel, QPoint(0, 3));
    connect(lbothinzu, &TLinkLabel::clicked, this, &TFStart::lbothinzuClick);
    botskill = MakeCombo("botskill", botpanel, QRect(112, 0, 80, 22));
    botskill->addItems({"leicht", "mittel", "schwer"});
    botskill->setCurrentIndex(2);
    lbotentfernen = MakeLabel<TLinkLabel>("lbotentfernen", "Bot entfernen", botpanel, QPoint(0, 32));
    connect(lbotentfernen, &TLinkLabel::clicked, this, &TFStart::lbotentfernenClick);
    botpanel->hide();

    llobbymessage = MakeLabel<QLabel>("llobbymessage", "Message:", Panel2, QPoint(16, 386), Yellow);
    sendmessage = MakeField("sendmessage", Panel2, QRect(96, 383, 236, 24), 200);
    sendbutton = new QPushButton("senden", Panel2);
    sendbutton->setObjectName("sendbutton");
    sendbutton->setGeometry(340, 382, 76, 26);
    sendbutton->setDefault(true);
    sendbutton->setAutoDefault(false);
    sendbutton->hide();
    connect(sendbutton, &QPushButton::clicked, this, &TFStart::sendbuttonClick);
    // The default button: Enter anywhere on the lobby sends the line.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* enter = new QShortcut(QKeySequence(key), Panel2);
        enter->setContext(Qt::WidgetWithChildrenShortcut);
        connect(enter, &QShortcut::activated, this, [this] {
            if (sendbutton->isVisible() && sendbutton->isEnabled()) sendbutton->click();
        });
    }

    llobbyabbrechen = MakeLabel<TLinkLabel>("llobbyabbrechen", "Abbrechen", Panel2, QPoint(16, 436));
    connect(llobbyabbrechen, &TLinkLabel::clicked, this, &TFStart::llobbyabbrechenClick);
}

void TFStart::BringToFront(QWidget* subPage)
{
    for (QWidget* page : {seite1, pnewgame, pjoingame, grafikseite, steuerseite}) page->setVisible(page == subPage);
    subPage->raise();
    // The gamepad's name is looked for only while it is seen.
    if (subPage == steuerseite)
        gamepadtimer->start();
    else
        gamepadtimer->stop();
}

void TFStart::newgameClick()
{
    BringToFront(pnewgame);
    SetHint({});
    titel->setText("Neues Spiel starten");
}

void TFStart::grafikeinstellungenClick()
{
    BringToFront(grafikseite);
    SetHint({});
    titel->setText("Grafikeinstellungen");
}

void TFStart::steuerungClick()
{
    BringToFront(steuerseite);
    SetHint({});
    titel->setText("Steuerung");
    ShowKeys();
    gamepadtimerTimer();
}

void TFStart::back1Click()
{
    BringToFront(seite1);
    SetHint({});
    titel->setText("W I L L K O M M E N");
}

void TFStart::beendenClick() { close(); }

void TFStart::AcceptVideoMode(int width, int height, int bitsPerPixel, bool& accept)
{
    if (bitsPerPixel == 8 || bitsPerPixel == 24 || width < 640 || height < 480) accept = false;
}

void TFStart::SetHint(const QString& text)
{
    if (text.isEmpty()) {
        if (!hint->text().isEmpty()) hint->clear();
        return;
    }
    if (hint->text() != text) hint->setText(text);
}

QString TFStart::HintFor(QObject* element) const
{
    const QString two = CrLf + CrLf;
    if (element == newgame)
        return "Neues Spiel starten: " + two + "Erstellt ein neues TCP/IP Spiel. Sie sind der Host.";
    if (element == joingame) return "Einem Spiel beitreten: " + two + "Nehmen Sie an einem TCP/IP Spiel teil.";
    if (element == grafikeinstellungen)
        return "Grafikeinstellungen: " + two +
               "Stellen Sie hier die wichtigsten grafischen Einstellungen, wie Auflösung oder Farbtiefe ein." + two +
               "Sollte vor dem ersten Start einmal aufgerufen werden.";
    if (element == beenden) {
        if (beenden->cursor().shape() == Qt::WaitCursor) return "Bitte warten.";
        return "Dunebolt Beenden: " + two + "Schließt das Spiel Dunebolt und kehrt zu Windows zurück.";
    }
    if (element == steuerung)
        return "Steuerung: " + two + "Wählen Sie hier die Tasten zum Fahren." + two +
               "Ein Gamepad fährt ohne Einstellung, sobald es eingesteckt ist.";
    if (std::find(ActionKey.begin(), ActionKey.end(), element) != ActionKey.end())
        return "Klicke hier und drücke dann die neue Taste." + two +
               "Hat eine andere Aktion diese Taste schon, tauschen die beiden.";
    if (element == standard) return "Stellt die Pfeiltasten wieder her.";
    if (element == gamepadname) return "Das angeschlossene Gamepad. Stecke es jederzeit ein oder aus, auch im Rennen.";
    if (element == back1 || element == Label9 || element == Label18 || element == back2) return "Zurück zum Hauptmenü.";
    if (element == Label10) return "Du gelangst zur Lobby, wo du auf Mitspieler warten kannst.";
    if (element == nameedit || element == Edit2) return "Gib hier bitte deinen Spitznamen ein!";
    if (element == spieledit)
        return "Gib hier bitte den Spielnamen ein!" + two +
               "Dieser dient zum eindeutigen Identifizieren deines Spieles im Netzwerk.";
    if (element == Label19) return "Du nimmst an dem ausgewählten Spiel teil und gelangst zur Lobby.";
    if (element == sessionbox || element == sessionbox->viewport())
        return "Zeigt die Liste aller aktuell laufenden Spiele." + two + "Zur Zeit " +
               QString::number(sessionbox->count());
    if (element == Label16) return "Sucht nach neuen Spielen";
    if (element == Label7) return "Du gelangst zur Lobby zurück.";
    return {};
}

void TFStart::WatchHints()
{
    QList<QWidget*> elements = {newgame,   joingame,    grafikeinstellungen,
                                steuerung, standard,    gamepadname,
                                back2,     beenden,     back1,
                                Label9,    Label18,     Label10,
                                nameedit,  Edit2,       spieledit,
                                Label19,   sessionbox,  sessionbox->viewport(),
                                Label16,   seite1,      pnewgame,
                                pjoingame, grafikseite, steuerseite,
                                Image1,    Label7,      Panel4,
                                Image3,    Label11,     hint2};
    for (int k = 0; k < 10; ++k) elements += {ResultPlace[k], ResultName[k], ResultTime[k]};
    for (TLinkLabel* key : ActionKey) elements += key;
    for (QWidget* w : elements) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
}

bool TFStart::eventFilter(QObject* watched, QEvent* event)
{
    if (keyAwaited_ >= 0 && watched == ActionKey[size_t(keyAwaited_)] && ActionKeyEvent(event)) return true;
    if (event->type() != QEvent::MouseMove) return QWidget::eventFilter(watched, event);

    if (watched == Label7 || watched == Panel4) {
        // The results page's own hint area.
        const QString text = HintFor(watched);
        if (text.isEmpty() && !hint2->text().isEmpty()) hint2->clear();
        if (!text.isEmpty() && hint2->text() != text) hint2->setText(text);
    } else if (watched == Image1 || watched->parent() == Panel3 || watched->parent() == Panel4) {
        SetHint({});
        if (!hint2->text().isEmpty()) hint2->clear();
    } else {
        SetHint(HintFor(watched));  // the sub-page panels give an empty hint
    }
    // A hover over an element must not reach the page beneath it, which would
    // empty the hint again; a drag (button held) goes on to the element.
    const auto* move = static_cast<QMouseEvent*>(event);
    return move->buttons() == Qt::NoButton && watched != Image1 && watched != Image3 && watched != seite1 &&
           watched != pnewgame && watched != pjoingame && watched != grafikseite && watched != steuerseite;
}

// The lobby between real programs on 127.0.0.1: each player is the real
// main window in a process of its own, driven through its widgets.
#include "lobby_program.h"

TEST(Lobby, ThreeProgramsCreateJoinChatSetLapsLeaveAndHandOverTheHostRole)
{
    auto anna = Start(), tom = Start(), eva = Start();
    Create(*anna, "Anna", "Wüste");
    ASSERT_TRUE(anna->WaitFor(PlayersAre({"[HOST]Anna"})));
    EXPECT_TRUE(anna->last["starten"].toBool() && anna->last["updown"].toBool());
    ASSERT_TRUE(Join(*tom, "Tom", "Wüste"));
    ASSERT_TRUE(tom->WaitFor(PlayersAre({"[HOST]Anna", "Tom"})));
    ASSERT_TRUE(Join(*eva, "Eva", "Wüste"));
    for (Program* p : {anna.get(), tom.get(), eva.get()}) {
        ASSERT_TRUE(p->WaitFor(PlayersAre({"[HOST]Anna", "Eva", "Tom"})));
        EXPECT_EQ(p->last["lspieler"].toString(), "3");
    }
    EXPECT_FALSE(tom->last["starten"].toBool() || tom->last["updown"].toBool());

    // Chat: every machine shows the line, the sender's own included, and
    // the code page carries "€" and the umlauts.
    tom->Say("set sendmessage hallo");
    tom->Say("click sendbutton");
    eva->Say("set sendmessage Grüße €5");
    eva->Say("click sendbutton");
    for (Program* p : {anna.get(), tom.get(), eva.get()}) {
        EXPECT_TRUE(p->WaitFor(ConsoleHas("Tom: hallo")));
        EXPECT_TRUE(p->WaitFor(ConsoleHas("Eva: Grüße €5")));
    }

    // The host's lap count reaches the clients; it stops at 20.
    anna->Say("click UpDown1/up");
    anna->Say("click UpDown1/up");
    for (Program* p : {tom.get(), eva.get()})
        EXPECT_TRUE(p->WaitFor([](const QJsonObject& s) { return s["laps"].toString() == "5"; }));

    // A forged host command from a client changes nothing elsewhere; a chat
    // line sent after it on the same channel shows it has been handled.
    eva->Say("raw 0 " + CommandHex("lobbystatus:9"));
    eva->Say("raw 0 " + CommandHex("go!"));
    eva->Say("raw 0 " + CommandHex("abort"));
    eva->Say("set sendmessage danach");
    eva->Say("click sendbutton");
    for (Program* p : {anna.get(), tom.get()}) {
        ASSERT_TRUE(p->WaitFor(ConsoleHas("Eva: danach")));
        EXPECT_EQ(p->last["laps"].toString(), "5");
        EXPECT_EQ(p->last["phase"].toInt(), 0);
        EXPECT_TRUE(p->last["chat"].toBool());
    }

    // A client leaves: gone from every list, one player less.
    eva->Say("click llobbyabbrechen");
    for (Program* p : {anna.get(), tom.get()}) {
        EXPECT_TRUE(p->WaitFor(PlayersAre({"[HOST]Anna", "Tom"})));
        EXPECT_EQ(p->last["lspieler"].toString(), "2");
    }
    ASSERT_TRUE(Join(*eva, "Eva", "Wüste"));
    ASSERT_TRUE(eva->WaitFor(PlayersAre({"[HOST]Anna", "Eva", "Tom"})));

    // The host leaves: the earliest joiner takes over, shows the host's
    // controls and announces itself; the others mark it.
    anna->Say("click llobbyabbrechen");
    EXPECT_TRUE(tom->WaitFor([](const QJsonObject& s) {
        return s["starten"].toBool() && s["updown"].toBool() && s["host"].toBool() &&
               ConsoleHas("+++ Neuer Host ist Tom +++")(s);
    }));
    EXPECT_TRUE(eva->WaitFor(PlayersAre({"Eva", "[HOST]Tom"})));
    EXPECT_TRUE(tom->WaitFor(PlayersAre({"Eva", "[HOST]Tom"})));

    // Closing the window ends the program cleanly.
    eva->Say("close");
    ASSERT_TRUE(eva->Finished(5000));
    EXPECT_EQ(eva->ExitCode(), 0);
}

TEST(Lobby, RefusedNamesAndJoinsGiveTheirMessageAndTheProgramGoesOn)
{
    auto host = Start(), guest = Start(true);
    host->Say("set nameedit    ");
    host->Say("click Label10");
    EXPECT_TRUE(host->WaitForBox("Du mußt schon einen Namen eingeben."));
    Create(*host, "Anna", " ");
    EXPECT_TRUE(host->WaitForBox("Bitte einen Namen für das Spiel eingeben."));
    EXPECT_FALSE(host->State()["lobby"].toBool());

    // The game ends between the search and the join.
    Create(*host, "Anna", "Kurz");
    ASSERT_TRUE(host->WaitFor(PlayersAre({"[HOST]Anna"})));
    guest->Say("set Edit2 Tom");
    guest->Say("click Label16");
    ASSERT_TRUE(guest->WaitFor([](const QJsonObject& s) { return s["games"].toArray().contains("Kurz"); }));
    host->Say("click llobbyabbrechen");
    ASSERT_TRUE(host->WaitFor([](const QJsonObject& s) { return !s["lobby"].toBool(); }));
    guest->Say("select sessionbox 0");
    guest->Say("click Label19");
    EXPECT_TRUE(guest->WaitForBox());
    EXPECT_TRUE(guest->WaitFor([](const QJsonObject& s) { return s["players"].toArray().isEmpty(); }));

    // The program still hosts and joins after the refusals; with no address
    // preset, every search asked the player for it.
    Create(*host, "Anna", "Neu");
    ASSERT_TRUE(Join(*guest, "Tom", "Neu"));
    EXPECT_TRUE(host->WaitFor(PlayersAre({"[HOST]Anna", "Tom"})));
    EXPECT_GE(guest->asks, 2);
    guest->Say("click llobbyabbrechen");
}

// The send procedures over a real session: this test program hosts a game on
// 127.0.0.1 and starts itself a second time as a joining player, which
// prints every message it receives; the host compares those bytes with the
// records' encodings and checks its own copies arrive inside the send.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "net/u_multiplayer.h"
#include "platform/dxplay/dxplay.h"
#include "race/racestate.h"

using namespace u_multiplayer;

namespace {

std::string Hex(const uint8_t* data, int size)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < size; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

template <class C>
std::string Hex(const C& bytes)
{
    return Hex(bytes.data(), static_cast<int>(bytes.size()));
}

// The joining player: prints "joined <id>", then "msg <from> <hex>" per
// message, and ends on the command "ende".
int RunJoiner(const std::string& session)
{
    TDXPlay play;
    play.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        std::cout << "msg " << from.ID << " " << Hex(data, size) << std::endl;
        TTextMsg t;
        if (DecodeText(std::span(data, static_cast<size_t>(size)), t) && t.Text == "ende") QCoreApplication::exit(0);
    };
    try {
        play.SetProviderName(DPSPNAME_TCPIP);
        play.GetSessions();
        play.JoinSession(session, "Gast");
    } catch (const std::exception& e) {
        std::cout << "error " << e.what() << std::endl;
        return 2;
    }
    std::cout << "joined " << play.LocalPlayer()->ID << std::endl;
    QTimer::singleShot(20000, [] { QCoreApplication::exit(3); });
    return QCoreApplication::exec();
}

std::string SelfPath;

class TJoiner {
public:
    explicit TJoiner(const std::string& session)
    {
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] {
            buffer_ += proc_.readAllStandardOutput().toStdString();
            size_t nl;
            while ((nl = buffer_.find('\n')) != std::string::npos) {
                lines_.push_back(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
            }
        });
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc_.start(QString::fromStdString(SelfPath), {"--joiner", QString::fromStdString(session)});
    }
    ~TJoiner()
    {
        if (proc_.state() != QProcess::NotRunning && !proc_.waitForFinished(3000)) {
            proc_.kill();
            proc_.waitForFinished(3000);
        }
    }
    // Waits (running the event loop) until a line starting with prefix has
    // arrived after the last one taken.
    std::optional<std::string> Next(const std::string& prefix, int ms = 15000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            for (size_t i = cursor_; i < lines_.size(); ++i)
                if (lines_[i].rfind(prefix, 0) == 0) {
                    cursor_ = i + 1;
                    return lines_[i];
                }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            proc_.waitForReadyRead(5);
        }
        return std::nullopt;
    }
    // Exited by itself with status 0 (waitForFinished is false for a process
    // that has already ended).
    bool Finished(int ms)
    {
        if (proc_.state() != QProcess::NotRunning && !proc_.waitForFinished(ms)) return false;
        return proc_.exitStatus() == QProcess::NormalExit && proc_.exitCode() == 0;
    }

private:
    QProcess proc_;
    std::string buffer_;
    std::vector<std::string> lines_;
    size_t cursor_ = 0;
};

}  // namespace

TEST(Sends, EveryRecordArrivesAsEncodedAndOwnCopiesInsideTheSend)
{
    TDXPlay host;
    std::vector<std::string> own;
    host.OnMessage = [&](TDXPlayPlayer& from, const uint8_t* data, int size) {
        own.push_back(std::to_string(from.ID) + " " + Hex(data, size));
    };
    const std::string session = "sends" + std::to_string(QCoreApplication::applicationPid());
    host.SetProviderName(DPSPNAME_TCPIP);
    host.CreateSession(session, "Host");
    AttachSession(&host);
    ASSERT_TRUE(SessionOpen());
    const uint32_t hostId = LocalPlayerId();
    ASSERT_NE(hostId, 0u);

    TJoiner joiner(session);
    const auto joined = joiner.Next("joined ");
    ASSERT_TRUE(joined) << "the second program did not join";
    const uint32_t guestId = static_cast<uint32_t>(std::stoul(joined->substr(7)));
    const std::string from = "msg " + std::to_string(hostId) + " ";

    SendText(Utf8ToLatin1("hallo Grüße"), KindChat, 0, false);
    EXPECT_TRUE(own.empty()) << "a message to all never reaches its sender";
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeText(KindChat, "hallo Gr\xFC\xDF" "e")));

    SendText(CmdNextTor, KindCommand, guestId, true);
    ASSERT_EQ(own.size(), 1u) << "the own copy is handled inside the send";
    EXPECT_EQ(own[0], std::to_string(hostId) + " " + Hex(EncodeText(KindCommand, "nexttor")));
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeText(KindCommand, "nexttor")));

    SendSetPosition({1.5f, -2, 3}, 1, guestId);
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeSetPosition({{1.5f, -2, 3}, 1})));

    SendStartPosition({4, 5, 6}, guestId);
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[1], std::to_string(hostId) + " " + Hex(EncodeStartPosition({{4, 5, 6}, guestId})));
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeStartPosition({{4, 5, 6}, guestId})));

    spiel::PlayerTable[0].Heading = 0.75f;
    spiel::PlayerTable[0].Pos = {100, 200, 300};
    SendCarState();
    EXPECT_EQ(own.size(), 2u);
    EXPECT_EQ(joiner.Next("msg "), from + Hex(EncodeCarState(CarStateOfLocalCar())));

    SendText("ende", KindCommand, guestId, false);
    EXPECT_TRUE(joiner.Next("msg " + std::to_string(hostId) + " "));
    EXPECT_TRUE(joiner.Finished(10000));

    // Closed again: nothing goes out, and nothing comes back to us.
    host.Close();
    EXPECT_FALSE(SessionOpen());
    SendText("nexttor", KindCommand, hostId, true);
    SendStartPosition({1, 1, 1}, hostId);
    EXPECT_EQ(own.size(), 2u);
    DetachSession();
}

int main(int argc, char** argv)
{
    // Searches ask this machine only, and never broadcast.
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);
    setenv("CI", "1", 1);
    QCoreApplication app(argc, argv);
    SelfPath = QCoreApplication::applicationFilePath().toStdString();
    if (argc >= 3 && std::string(argv[1]) == "--joiner") return RunJoiner(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

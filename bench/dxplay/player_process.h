// One scripted player program (dxplay_driver) run by the benchmark:
// commands go to its stdin, its event lines are collected from stdout.
#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

class PlayerProcess {
public:
    explicit PlayerProcess(const std::vector<std::pair<std::string, std::string>>& extraEnv = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1");
        env.insert("CI", "1");
        for (const auto& [k, v] : extraEnv) env.insert(QString::fromStdString(k), QString::fromStdString(v));
        proc_.setProcessEnvironment(env);
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] { Read(); });
        proc_.start(QString(DXPLAY_DRIVER), {});
        started_ = proc_.waitForStarted(5000);
    }
    ~PlayerProcess() {
        if (proc_.state() != QProcess::NotRunning) {
            proc_.closeWriteChannel();
            if (!proc_.waitForFinished(3000)) {
                proc_.kill();
                proc_.waitForFinished(3000);
            }
        }
    }
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    bool Started() const { return started_; }

    void Say(const std::string& command) {
        std::string line = command + "\n";
        proc_.write(line.data(), static_cast<qint64>(line.size()));
        proc_.waitForBytesWritten(1000);
    }

    // The next line from the read position on that starts with prefix;
    // the read position moves past it.
    std::optional<std::string> Expect(const std::string& prefix, int ms = 10000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            for (size_t i = cursor_; i < lines_.size(); ++i) {
                if (lines_[i].rfind(prefix, 0) == 0) {
                    cursor_ = i + 1;
                    return lines_[i];
                }
            }
            if (std::chrono::steady_clock::now() >= until) return std::nullopt;
            QTest::qWait(5);
        }
    }

    std::optional<std::string> ExpectOneOf(const std::vector<std::string>& prefixes, int ms = 10000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            for (size_t i = cursor_; i < lines_.size(); ++i) {
                for (const auto& prefix : prefixes) {
                    if (lines_[i].rfind(prefix, 0) == 0) {
                        cursor_ = i + 1;
                        return lines_[i];
                    }
                }
            }
            if (std::chrono::steady_clock::now() >= until) return std::nullopt;
            QTest::qWait(5);
        }
    }

    // Asks and waits for the answer line.
    std::optional<std::string> Ask(const std::string& command, const std::string& prefix, int ms = 10000) {
        Say(command);
        return Expect(prefix, ms);
    }

    // Every line so far that starts with prefix, wherever the read position is.
    std::vector<std::string> All(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& l : lines_)
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        return out;
    }

    void Kill() {
        ::kill(static_cast<pid_t>(proc_.processId()), SIGKILL);
        proc_.waitForFinished(3000);
    }

private:
    void Read() {
        partial_ += proc_.readAllStandardOutput().toStdString();
        size_t at;
        while ((at = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, at));
            partial_.erase(0, at + 1);
        }
    }

    QProcess proc_;
    bool started_ = false;
    std::string partial_;
    std::vector<std::string> lines_;
    size_t cursor_ = 0;
};

// Lets every player program's output in while the test waits.
inline void Settle(int ms) { QTest::qWait(ms); }

// The application object: every event handler runs inside it, so an error
// that a platform layer raises in a handler ends up in the standard error
// box and the program goes on.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The standard error box: the error's text and an OK button.
void ShowErrorBox(const QString& text);

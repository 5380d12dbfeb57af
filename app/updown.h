// An up-down spinner beside an edit field: its arrows step a number between
// Min and Max without wrapping and write it into the field.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

class TUpDown : public QWidget {
    Q_OBJECT
public:
    TUpDown(QLineEdit* associate, int min, int max, QWidget* parent);

    int Position() const;
    // Steps by delta within Min … Max; the field shows the result.
    void Step(int delta);

    QToolButton* Up = nullptr;
    QToolButton* Down = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLineEdit* associate_;
    int min_, max_;
};

#include "app/updown.h"

#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

TUpDown::TUpDown(QLineEdit* associate, int min, int max, QWidget* parent)
    : QWidget(parent), associate_(associate), min_(min), max_(max)
{
    Up = new QToolButton(this);
    Up->setObjectName("up");
    Up->setArrowType(Qt::UpArrow);
    Down = new QToolButton(this);
    Down->setObjectName("down");
    Down->setArrowType(Qt::DownArrow);
    Up->setAutoRepeat(true);
    Down->setAutoRepeat(true);
    connect(Up, &QToolButton::clicked, this, [this] { Step(1); });
    connect(Down, &QToolButton::clicked, this, [this] { Step(-1); });
}

int TUpDown::Position() const
{
    bool ok = false;
    const int n = associate_->text().toInt(&ok);
    return ok ? n : min_;
}

void TUpDown::Step(int delta)
{
    const int n = std::clamp(Position() + delta, min_, max_);
    associate_->setText(QString::number(n));
}

void TUpDown::resizeEvent(QResizeEvent*)
{
    const int half = height() / 2;
    Up->setGeometry(0, 0, width(), half);
    Down->setGeometry(0, half, width(), height() - half);
}

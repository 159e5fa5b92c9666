#include "TickSlider.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>

CTickSlider::CTickSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    // Tells the style to leave room below the groove; the marks themselves are ours.
    setTickPosition(QSlider::TicksBelow);
}

void CTickSlider::sliderChange(SliderChange change) {
    if (change == SliderRangeChange) {
        setPageStep(std::max(1, (maximum() - minimum()) / 5));
    }
    QSlider::sliderChange(change);
}

void CTickSlider::ClearTicks() {
    m_ticks.clear();
    update();
}

void CTickSlider::AddTick(int position) {
    m_ticks.push_back(position);
    update();
}

int CTickSlider::TickX(int value) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    const int span = groove.width() - handle.width();
    return groove.left() + handle.width() / 2 +
           QStyle::sliderPositionFromValue(minimum(), maximum(), value, span, option.upsideDown);
}

void CTickSlider::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    QStyleOptionSlider option;
    initStyleOption(&option);
    // Groove and thumb from the style, without its evenly spaced tick marks.
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);

    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    const int top = handle.bottom() + 2;
    const int bottom = std::min(height() - 1, top + 4);
    if (bottom < top) {
        return;
    }
    painter.setPen(palette().color(QPalette::WindowText));
    auto drawTick = [&](int value) {
        if (value < minimum() || value > maximum()) {
            return;
        }
        const int x = TickX(value);
        painter.drawLine(x, top, x, bottom);
    };
    drawTick(minimum());
    drawTick(maximum());
    for (int tick : m_ticks) {
        drawTick(tick);
    }
}
